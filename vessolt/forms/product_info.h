#pragma once
// The product's title, version and notices, in one place; its web addresses are shared with the report.
#include "services/web_addresses.h"

namespace ostrel::vessolt {

inline constexpr const char* kProductVersion = "Version 1.10.2624";
inline constexpr const char* kManualFile = "NBXManual.pdf";
inline constexpr const char* kRightsNotice = "2026 Ostrel. CANopen Norbix Eval is free software: you can "
                                             "redistribute it and/or modify it under the terms of the GNU General "
                                             "Public License, version 3 or (at your option) any later version.";
inline constexpr const char* kLicenceName = "GNU General Public License v3.0 or later (GPL-3.0-or-later)";

} // namespace ostrel::vessolt

namespace ostrel::vessolt {

// The notices of the libraries the program links.
inline constexpr const char* kLibraryNotices =
    "This program uses: Qt 6 (LGPL-3.0, \u00A9 The Qt Company Ltd and other contributors); "
    "Expat XML parser (MIT licence, \u00A9 1998-2000 Thai Open Source Software Center Ltd and Clark Cooper, "
    "\u00A9 2001-2025 Expat maintainers); PCRE2 (BSD licence, \u00A9 1997-2024 University of Cambridge); "
    "Python (PSF License, \u00A9 2001-2024 Python Software Foundation); QScintilla, in the ratings editor "
    "(GPL-3.0, \u00A9 Riverbank Computing Limited; its Scintilla core MIT licence, \u00A9 1998-2004 Neil Hodgson).";

} // namespace ostrel::vessolt
