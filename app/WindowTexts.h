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

// --- The batch view ("Lote") ----------------------------------------------------------

// --- Zone transfers ---------------------------------------------------------------------

}  // namespace zvWindowTexts
