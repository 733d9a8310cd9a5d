#!/usr/bin/env bash
# Installs the Debian packages the program, its tests and its benchmarks need.
# Does nothing when every package is already present. Runs apt-get as root or through sudo.
set -euo pipefail

packages=(
    # build
    build-essential cmake pkg-config
    qtbase5-dev qt5-image-formats-plugins libdlib-dev libjsoncpp-dev zlib1g-dev libdeflate-dev libblas-dev liblapack-dev
    # dlib's CMake package links libjpeg.so, which libdlib-dev does not bring
    libjpeg-dev
    # the preview's camera and face videos: Qt Multimedia and its GStreamer back end (plugins-good
    # for WebM, MKV and MJPEG cameras, libav for H.264, plugins-bad for Qt's camerabin); the
    # GStreamer headers for facemask-cli's frame-exact video reading
    qtmultimedia5-dev libqt5multimedia5-plugins gstreamer1.0-plugins-base gstreamer1.0-plugins-good
    gstreamer1.0-libav gstreamer1.0-plugins-bad libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev
    # the 68-point landmark model, installed at /usr/share/dlib/shape_predictor_68_face_landmarks.dat
    libdlib-data
    # tests: real windows, archive tools that check our packages, Python's zipfile and json
    xvfb xauth xdotool xclip x11-utils openbox imagemagick unzip zip p7zip-full python3 libjpeg-turbo-progs
    # tests: an independent checker of the PNG files we write
    pngcheck
    # tests: video clips with known motion for the preview and facemask-cli track
    ffmpeg
    # tests: the installed desktop files, MIME type and AppStream description
    shared-mime-info xdg-utils libglib2.0-bin desktop-file-utils appstream
    # tests: locale sources, built by the tests that run the programs under other locales
    locales
    # tests: fonts so that marker numbers render the same everywhere
    fonts-dejavu-core
    # fuzzing and sanitizers
    clang libclang-rt-14-dev
    # Debian package of the program
    dpkg-dev file
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
    sudo_cmd=()
elif command -v sudo >/dev/null 2>&1; then
    sudo_cmd=(sudo)
else
    echo "These Debian packages are missing: ${missing[*]}" >&2
    echo "Installing them needs root, and sudo is not installed. As root, run:" >&2
    echo "    apt-get install --no-install-recommends ${missing[*]}" >&2
    exit 1
fi

echo "Installing: ${missing[*]}"
"${sudo_cmd[@]}" apt-get update -qq
# sudo starts apt-get with a clean environment, so the frontend is set inside it
"${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
