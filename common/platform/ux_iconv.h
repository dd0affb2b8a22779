// ux_iconv: byte-level charset conversion through iconv.
#pragma once

#include <string>
#include <string_view>

namespace ux {

enum class TCharset { utf8, gbk, utf16le };

// Converts input from one charset to another. Sequences that cannot be
// converted become `replacement` (already in the target charset), one per
// offending character; never throws. Descriptors are cached per thread.
std::string iconv_convert(TCharset from, TCharset to, std::string_view input,
                          std::string_view replacement);

}  // namespace ux
