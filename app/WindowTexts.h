// The window's own words, in one place, so that a translation has one file to read.
// The library's fixed messages (its error texts, the result headings the pane shares with
// the saved files) are not here: they are the library's. The command-line companion keeps
// English; everything the window adds around the library's words is Spanish and lives here.
#pragma once

namespace zvWindowTexts {

// --- Several servers compared ---------------------------------------------------------

// The line above each server's block in the pane; the server follows.
inline constexpr const char* kServerBlock = ";; servidor ";
// The comparison's lines: whether the answers agree, then each difference.
inline constexpr const char* kAnswersAgree = ";; las respuestas coinciden";
inline constexpr const char* kAnswersDiffer = ";; las respuestas difieren:";
inline constexpr const char* kResponsesSideBySide = ";;   respuesta: ";
inline constexpr const char* kNoAnswer = "sin respuesta";
inline constexpr const char* kOnlyFrom = "  solo de ";
inline constexpr const char* kSerialsSideBySide = ";;   serie del SOA: ";
// The status bar's result panel after several servers.
inline constexpr const char* kAgreeShort = "respuestas iguales";
inline constexpr const char* kDifferShort = "respuestas distintas";
// More servers in the field than are asked: the count given, then the most.
inline constexpr const char* kTooManyServers =
    "El campo del servidor nombra %zu servidores; se preguntan %zu como mucho";

// --- Tooltips, dialogs and the about box ----------------------------------------------

inline constexpr const char* kResultPaneTip =
    "Resultados: F6 lleva el teclado aquí para seleccionar y copiar (Ctrl+A, Ctrl+C); Tab "
    "vuelve a los campos. Ctrl+S los guarda en un fichero, Ctrl+L los borra. Doble clic (o "
    "Intro) en un servidor de «Listar DNS» lo pasa al campo del servidor.";
inline constexpr const char* kFocusResult = "Ir al resultado";
inline constexpr const char* kSaveResults = "Guardar resultados…";
inline constexpr const char* kClearResults = "Limpiar";
inline constexpr const char* kRecentServersTip = "Servidores recientes (flecha abajo)";
inline constexpr const char* kTransportTip =
    "Cómo viajan las preguntas: UDP (TCP si la respuesta no cabe), TCP, o TLS (DNS sobre "
    "TLS, puerto 853) o HTTPS (DNS sobre HTTPS, puerto 443, ruta /dns-query), con el "
    "certificado del servidor comprobado.";
inline constexpr const char* kDnssecTip =
    "Pide las firmas y comprueba la cadena de confianza de la respuesta desde las claves de "
    "la raíz; el veredicto sale en la barra de estado.";
inline constexpr const char* kDnssecChecking = "DNSSEC: comprobando…";
// Above the proof's steps in the verdict's tooltip, which follow in the validator's words.
inline constexpr const char* kDnssecSteps = "Pasos (en palabras del validador):";
// Below the verdict's tooltip: how to open its picture.
inline constexpr const char* kDnssecPanelHint =
    "Doble clic (o Ctrl+K): la cadena de confianza dibujada";
inline constexpr const char* kSaveDialogTitle = "Guardar resultados";
inline constexpr const char* kSaveDialogFile = "pellamar-resultados.txt";
inline constexpr const char* kSaveDialogFilter = "Texto (*.txt);;Todos los ficheros (*)";
// The path, then why.
inline constexpr const char* kSaveFailed = "No se pudo guardar %1: %2";
// The saved file's line of outcome under each lookup's lines: result, time, DNSSEC.
inline constexpr const char* kSavedOutcome = "; resultado: ";
inline constexpr const char* kSavedTime = ", tiempo: ";
// The window's own refusals, shown after "Error:" in the status bar's tooltip.
inline constexpr const char* kBadTimeOut = "'%s' no es un tiempo de espera válido en segundos";
inline constexpr const char* kBadPort = "'%s' no es un número de puerto";
inline constexpr const char* kWindowClosing = "La ventana se está cerrando";
inline constexpr const char* kNoQueryType = "No hay ningún tipo de consulta elegido";

// --- The chain of trust view ("Cadena de confianza") ----------------------------------

inline constexpr const char* kChainCommand = "Cadena de confianza…";
inline constexpr const char* kChainTitle = "Cadena de confianza";
inline constexpr const char* kChainNone =
    "Aún no hay cadena que mostrar: una consulta con DNSSEC marcado la dibuja aquí.";
inline constexpr const char* kChainZoomIn = "Acercar";
inline constexpr const char* kChainZoomOut = "Alejar";
inline constexpr const char* kChainFit = "Ajustar";
inline constexpr const char* kChainExportPng = "Exportar PNG…";
inline constexpr const char* kChainExportSvg = "Exportar SVG…";
inline constexpr const char* kChainPngFilter = "Imagen PNG (*.png)";
inline constexpr const char* kChainSvgFilter = "Imagen SVG (*.svg)";
inline constexpr const char* kChainPngFile = "cadena-de-confianza.png";
inline constexpr const char* kChainSvgFile = "cadena-de-confianza.svg";
inline constexpr const char* kChainExportFailed = "No se pudo exportar a %1";
// The verdicts, as the view's boxes and legend name them.
inline constexpr const char* kVerdictSecure = "segura";
inline constexpr const char* kVerdictInsecure = "insegura";
inline constexpr const char* kVerdictBogus = "falsa";
inline constexpr const char* kVerdictIndeterminate = "indeterminada";
// The nodes: a key's tag follows "DNSKEY ", its algorithm "alg. ".
inline constexpr const char* kNodeAnchor = "ancla de confianza";
inline constexpr const char* kNodeAlgorithm = "alg. ";
inline constexpr const char* kNodeDigest = ", resumen ";
inline constexpr const char* kNodeNoDs = "sin DS (delegación sin firmar)";
inline constexpr const char* kRoot = "raíz";
// The arrows, on each and in the legend.
inline constexpr const char* kEdgeDsMatchesKey = "la DS coincide con la clave";
inline constexpr const char* kEdgeKeySignsSet = "la clave firma el conjunto";
inline constexpr const char* kEdgeDsMatchesKeyShort = "coincide";
inline constexpr const char* kEdgeKeySignsSetShort = "firma";
// The reason of a broken link, in the library's (delv's) words after it.
inline constexpr const char* kBrokenBecause = "rota: ";
inline constexpr const char* kChainVerdict = "DNSSEC: ";

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
