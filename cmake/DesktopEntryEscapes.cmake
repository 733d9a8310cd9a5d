# Included when installing, before the desktop entry and the thumbnailer are written: escapes the
# paths for the keys that hold them, so that a prefix holding %, $, ", ` or \ still names the
# right files. The thumbnailer's Exec is split as a shell splits words after its %-codes are
# replaced, which reads the same quoting as a desktop entry's Exec.
#   FACEMASK_INSTALLED_PROGRAM   becomes the quoted argument of Exec (quotes included)
#   FACEMASK_INSTALLED_CLI       likewise, for the thumbnailer's Exec
#   FACEMASK_INSTALLED_DATA_DIR  becomes a string value (Path)
#   FACEMASK_INSTALLED_CLI_PATH  the same program as a string value (the thumbnailer's TryExec)

# Exec's quoting: inside the double quotes, ", `, $ and \ take a backslash ...
function(facemask_quote_for_exec variable)
    string(REPLACE "\\" "\\\\" program "${${variable}}")
    string(REPLACE "\"" "\\\"" program "${program}")
    string(REPLACE "`" "\\`" program "${program}")
    string(REPLACE "$" "\\$" program "${program}")
    # ... then the value's own escapes double every backslash, and a % that is no field code is %%.
    string(REPLACE "\\" "\\\\" program "${program}")
    string(REPLACE "%" "%%" program "${program}")
    set(${variable} "\"${program}\"" PARENT_SCOPE)
endfunction()

string(REPLACE "\\" "\\\\" FACEMASK_INSTALLED_CLI_PATH "${FACEMASK_INSTALLED_CLI}")
facemask_quote_for_exec(FACEMASK_INSTALLED_PROGRAM)
facemask_quote_for_exec(FACEMASK_INSTALLED_CLI)

string(REPLACE "\\" "\\\\" FACEMASK_INSTALLED_DATA_DIR "${FACEMASK_INSTALLED_DATA_DIR}")
