#pragma once

// The program keeps its settings, its cache and the desktop's recent list under HOME and the XDG
// base folders. Qt takes an unset or empty HOME for "/" (as root the program would write /.config
// and /.cache, as anyone else keep nothing), and a relative XDG_*_HOME as a folder of whatever
// folder the program was started in. settleHomeFolders() sets HOME from the account's entry in
// the password database when it is unset, empty or relative, and unsets an XDG_CONFIG_HOME,
// XDG_DATA_HOME or XDG_CACHE_HOME that is not an absolute path, so that its default under HOME
// applies. A HOME that names a missing or read-only folder is kept: the user chose it.
// Call once at the top of main, before any thread is started (it changes the environment).
namespace core {

void settleHomeFolders();

} // namespace core
