// ux_locale: the user's language from the POSIX locale.
#pragma once

namespace ux {

// Windows-style language id of the user's locale: 2052 for Chinese (PRC, or
// Simplified without a region), 1028 Taiwan (or Traditional without a
// region), 3076 Hong Kong, 4100 Singapore, 5124 Macao, 1033 otherwise. Reads
// LC_ALL, then LC_MESSAGES, then LANG (the first that is set and not empty).
int system_language_id();

}  // namespace ux
