#!/usr/bin/env bash
# scripts/install-deps.sh run by a user other than root, against stand-ins for dpkg-query, id,
# sudo and apt-get: nothing is installed for real.
#   check_install_deps.sh SOURCE_DIR
set -u
script="$1/scripts/install-deps.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# stand-ins: dpkg-query reports $MISSING as absent, id says uid 1000, sudo and apt-get log
# their arguments (and sudo the DEBIAN_FRONTEND the command it runs would see).
make_bin() {
    local bin="$1"
    mkdir -p "$bin"
    ln -s "$(command -v grep)" "$bin/grep"
    ln -s "$(command -v env)" "$bin/env"
    cat >"$bin/dpkg-query" <<'STUB'
#!/bin/bash
for a; do last=$a; done
[ "$last" = "$MISSING" ] && exit 1
printf 'install ok installed'
STUB
    cat >"$bin/id" <<'STUB'
#!/bin/bash
echo 1000
STUB
    cat >"$bin/apt-get" <<'STUB'
#!/bin/bash
echo "apt-get $* frontend=${DEBIAN_FRONTEND:-}" >>"$LOG"
STUB
    chmod +x "$bin"/*
}
make_sudo() {
    # sudo starts its command with a clean environment
    cat >"$1/sudo" <<'STUB'
#!/bin/bash
exec env -i PATH="$PATH" LOG="$LOG" "$@"
STUB
    chmod +x "$1/sudo"
}

run_case() {
    local name="$1" missing="$2" with_sudo="$3" want_status="$4" want_log="$5" want_error="$6"
    local bin="$work/$name/bin"
    make_bin "$bin"
    [ "$with_sudo" = yes ] && make_sudo "$bin"
    : >"$work/$name/log"
    (cd "$work" && env -i PATH="$bin" MISSING="$missing" LOG="$work/$name/log" \
        /bin/bash "$script" >"$work/$name/out" 2>"$work/$name/err")
    local status=$?
    local log err
    log=$(cat "$work/$name/log")
    err=$(cat "$work/$name/err")
    if [ "$status" != "$want_status" ]; then
        echo "FAIL $name: exit status $status, expected $want_status; stderr: $err"
        failures=$((failures + 1))
    elif [ -n "$want_log" ] && ! grep -qF -- "$want_log" <<<"$log"; then
        echo "FAIL $name: no '$want_log' among the commands run: $log"
        failures=$((failures + 1))
    elif [ -z "$want_log" ] && [ -n "$log" ]; then
        echo "FAIL $name: ran $log"
        failures=$((failures + 1))
    elif [ -n "$want_error" ] && ! grep -qF -- "$want_error" <<<"$err"; then
        echo "FAIL $name: stderr lacks '$want_error': $err"
        failures=$((failures + 1))
    else
        echo "PASS $name"
    fi
}

#        name             missing   sudo  status  a command run                                    on stderr
run_case all-present      ""        no    0       ""                                               ""
run_case through-sudo     pngcheck  yes   0       "install -y -qq --no-install-recommends pngcheck frontend=noninteractive" ""
run_case no-sudo          pngcheck  no    1       ""                                               "apt-get install --no-install-recommends pngcheck"

exit $((failures > 0))
