// ux_common: the flat helpers every unit shares, in one header — errors, code
// page and conversions, byte-string search and tokens, value formatting, the
// JSON-text toolkit, clocks and dates, whole-file helpers and fingerprints,
// digests, numbers, random numbers, Base64 and the process information record.
// Each has its own unit; include this header or the unit's own.
//
// Byte strings are std::string in the process code page (UTF-8 by default,
// GBK when 936 is selected at start). Text positions are 1-based, 0 means
// "not found". Case-insensitive means ASCII folding only. Helpers never throw
// for bad input: they return 0, -1, false or an empty string.
#pragma once

#include "common/ux_base64.h"
#include "common/ux_clock.h"
#include "common/ux_codepage.h"
#include "common/ux_digest.h"
#include "common/ux_errors.h"
#include "common/ux_files.h"
#include "common/ux_format.h"
#include "common/ux_json_text.h"
#include "common/ux_numbers.h"
#include "common/ux_random.h"
#include "common/ux_rtl_info.h"
#include "common/ux_text.h"
