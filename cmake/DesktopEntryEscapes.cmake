# Included when installing, before the desktop entry is written: escapes the two paths for the
# keys that hold them, so that a prefix holding %, $, ", ` or \ still names the right files.
#   FACEMASK_INSTALLED_PROGRAM   becomes the quoted argument of Exec (quotes included)
#   FACEMASK_INSTALLED_DATA_DIR  becomes a string value (Path)

# Exec's quoting: inside the double quotes, ", `, $ and \ take a backslash ...
string(REPLACE "\\" "\\\\" program "${FACEMASK_INSTALLED_PROGRAM}")
string(REPLACE "\"" "\\\"" program "${program}")
string(REPLACE "`" "\\`" program "${program}")
string(REPLACE "$" "\\$" program "${program}")
# ... then the value's own escapes double every backslash, and a % that is no field code is %%.
string(REPLACE "\\" "\\\\" program "${program}")
string(REPLACE "%" "%%" program "${program}")
set(FACEMASK_INSTALLED_PROGRAM "\"${program}\"")

string(REPLACE "\\" "\\\\" FACEMASK_INSTALLED_DATA_DIR "${FACEMASK_INSTALLED_DATA_DIR}")
