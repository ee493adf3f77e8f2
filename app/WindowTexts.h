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

// The type list's entry, the pane's heading over the zone's lines, and the status bar's
// count while the records come (%1 the zone, %2 the records so far).
inline constexpr const char* kZoneTypeCaption = "AXFR (transferencia de zona)";
inline constexpr const char* kZoneHeading = "====== Zona ======";
inline constexpr const char* kZoneProgress = "Transfiriendo %1: %2 registros";
// A zone too large for the pane is offered for saving (%1 the records, %2 the file).
inline constexpr const char* kZoneSaveTitle = "Guardar la zona (%1 registros)";
inline constexpr const char* kZoneSaveFilter = "Archivos de zona (*.zone *.txt);;Todos (*)";
inline constexpr const char* kZoneSaved = "; %1 registros guardados en %2";
inline constexpr const char* kZoneNotSaved = "; %1 registros: demasiados para el panel, no se guardaron";
// The TSIG key of the server in the server field, chosen with a file dialog.
inline constexpr const char* kZoneKeyAction = "Clave &TSIG del servidor...";
inline constexpr const char* kZoneKeyTitle = "Clave TSIG para %1";
inline constexpr const char* kZoneKeyFilter = "Claves TSIG (*.key *.conf *.tsig);;Todos (*)";

}  // namespace zvWindowTexts
