// rk50_env: the installer's default installation folder and package URL.
// Pure functions over the environment; no errors are raised.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace rk50 {

// LOCALAPPDATA, else XDG_DATA_HOME (absolute only), else $HOME/.local/share,
// followed by "/qlyn/client/". Empty variables count as unset.
std::string default_install_dir();

// Path of the package on the resource server.
inline constexpr std::string_view package_url_path = "/down/win64/rk50cli_dsk.win64.newest.7z";

// The package URL: scheme "udp-http", the build's package host, port 56020.
// A svr_url of the form "scheme://host[:port][/...]" replaces scheme, host
// and port as written (no port: the scheme's default); its path is ignored.
// Any other svr_url (empty, no "://", blanks or controls) is ignored.
std::string package_url(std::string_view svr_url);

// Folder of the package download, with a trailing "/": "temp" in self_dir
// when it exists or can be made and is writable, else
// $XDG_CACHE_HOME/qlyn/temp/ (absolute only) or $HOME/.cache/qlyn/temp/,
// made when missing.
std::string download_folder(const std::string& self_dir);

// A folder the user gave: relative to the current directory made absolute,
// then with_trailing_separator. Empty stays empty.
std::string user_folder(std::string_view dir);

// dir with a trailing "/" added when it has none (either separator counts);
// an empty dir stays empty.
std::string with_trailing_separator(std::string_view dir);

}  // namespace rk50
