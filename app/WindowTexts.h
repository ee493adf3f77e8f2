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

// The tool bar that holds the trace's and the batch's commands.
inline constexpr const char* kWorkToolBar = "Herramientas";
inline constexpr const char* kTraceCommand = "Traza";
inline constexpr const char* kTraceCommandTip =
    "Sigue la pregunta desde los servidores raíz, zona a zona, como dig +trace; con DNSSEC, "
    "el veredicto de cada zona. Escape la detiene.";
inline constexpr const char* kTraceTitle = "Traza de %1 %2";
inline constexpr const char* kTraceColumns[] = {"Zona", "Servidor", "Tiempo", "Resultado",
                                                "DNSSEC"};
// A trace nested for the address of a name server given without glue.
inline constexpr const char* kTraceNested = "(dirección de %1) %2";
inline constexpr const char* kTraceNoServer = "ningún servidor respondió";
inline constexpr const char* kTraceReferral = "referencia a %1";
inline constexpr const char* kTraceAnswer = "respuesta";
inline constexpr const char* kTraceAlias = "alias de %1";
inline constexpr const char* kTraceNoAnswer = "sin respuesta";
inline constexpr const char* kTraceVerdicts[] = {"segura", "insegura", "falsa", "indeterminada"};
inline constexpr const char* kTraceRunning = "Preguntando… (Escape la detiene)";
inline constexpr const char* kTraceDone = "Terminada en %1 pasos";
inline constexpr const char* kTraceStopped = "Detenida";
inline constexpr const char* kTraceFailed = "Incompleta: %1";
inline constexpr const char* kTraceHintsFromFile = "Servidores raíz de %1";
inline constexpr const char* kTraceHintsFromResolver = "Servidores raíz según %1";
inline constexpr const char* kTraceHintsBuiltIn = "Servidores raíz de la lista incorporada";

// --- The batch view ("Lote") ----------------------------------------------------------

inline constexpr const char* kBatchCommand = "Lote";
inline constexpr const char* kBatchCommandTip =
    "Pregunta al servidor por cada nombre de un fichero (uno por línea: NOMBRE, NOMBRE TIPO "
    "o TIPO NOMBRE; # empieza un comentario), muchos a la vez, y muestra las respuestas en "
    "una tabla que se ordena, se filtra y se guarda como CSV o JSON Lines.";
inline constexpr const char* kBatchOpenTitle = "Abrir un fichero de nombres";
inline constexpr const char* kBatchOpenFilter = "Nombres (*.txt *.list);;Todos los ficheros (*)";
inline constexpr const char* kBatchTitle = "Lote de %1 a %2";
inline constexpr const char* kBatchColumns[] = {"Nombre", "Tipo", "Estado", "Datos", "Tiempo"};
inline constexpr const char* kBatchFilter = "Filtrar…";
inline constexpr const char* kBatchFilterAll = "Todas las columnas";
inline constexpr const char* kBatchSave = "&Guardar…";
inline constexpr const char* kBatchSaveTitle = "Guardar el lote";
inline constexpr const char* kBatchSaveFilter = "CSV (*.csv);;JSON Lines (*.jsonl)";
inline constexpr const char* kBatchSaveFailed = "No se pudo guardar %1: %2";
inline constexpr const char* kBatchCounting = "Contando los nombres…";
inline constexpr const char* kBatchCount = "%1 de %2 nombres";
inline constexpr const char* kBatchDone = "%1 nombres en %2";
inline constexpr const char* kBatchStopped = "Detenido: %1 de %2 nombres";
inline constexpr const char* kBatchFailed = "Falló: %1";
inline constexpr const char* kBatchBadLine = "línea %1 no válida: %2";
inline constexpr const char* kBatchCannotRead = "no se puede leer %1";

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
