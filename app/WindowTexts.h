// The window's own words, in one place, so that a translation has one file to read.
// The library's fixed messages (its error texts, the result headings the pane shares with
// the saved files) are not here: they are the library's. The command-line companion keeps
// English; everything the window adds around the library's words is Spanish and lives here.
#pragma once

namespace zvWindowTexts {

// --- Several servers compared ---------------------------------------------------------

// --- Tooltips, dialogs and the about box ----------------------------------------------

// --- The chain of trust view ("Cadena de confianza") ----------------------------------

// --- The trace view ("Traza") ---------------------------------------------------------

// --- The batch view ("Lote") ----------------------------------------------------------

// --- Zone transfers ---------------------------------------------------------------------

// --- Extended DNS Errors and the AD bit (status bar and its tooltips) -------------------

// Between an error reply's code and the name of its first Extended DNS Error in the
// bar: "SERVFAIL — DNSKEY Missing".
inline constexpr const char* kExtendedErrorSeparator = " — ";
// Before each Extended DNS Error in the tooltip: "Error extendido: 9 (DNSKEY Missing): …".
inline constexpr const char* kExtendedErrorLine = "Error extendido: ";
// The tooltips, when the resolver set AD in its answer.
inline constexpr const char* kResolverAuthenticated =
    "El resolutor validó la respuesta con DNSSEC (bit AD)";

}  // namespace zvWindowTexts
