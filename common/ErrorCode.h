// Every result code of the installer stub, in one place.
//
// A code is a signed 32-bit value: 0 is success, 1 is "cancelled", negative
// values are errors. Inside an operation a failure is thrown by value as
// kavri::EErrorCode and turned into the operation's int result at its
// boundary. A number, once given a meaning, is never reused for another.
#pragma once

#include <cstdint>

namespace kavri {

enum EErrorCode : int32_t {
    kOk = 0,
    kCancelled = 1,

    // -1: a thread could not be started, an open timed out, a structured or
    //     C++ exception in a worker; for the application object: no module path.
    kErrGeneric = -1,
    // -2: a bad URL; for the application object: no download source configured;
    //     also the code of a failed WinINet option set.
    kErrBadArgument = -2,
    // -3: a segment is still running or did not reach its end.
    kErrNotFinished = -3,
    // -4: no longer produced (it meant "busy", now -62); -4 is also the exit
    //     code of too little disk space. Kept so the number is never reused.
    kErrBusy = -4,
    // -49: the partial file could not be deleted (log only).
    kErrDeleteFile = -49,
    // -51: writing to the local file failed.
    kErrWriteFile = -51,
    // -55: the target directory or file could not be prepared.
    kErrPrepareFile = -55,
    // -56: not enough free disk space, or it could not be read.
    kErrDiskSpace = -56,
    // -60: the downloaded file was refused by verification (signature,
    //      signer or hash); it is deleted and never started.
    kErrNotVerified = -60,
    // -61: the main installer could not be started.
    kErrLaunch = -61,
    // -63: an answer is larger than the download accepts (a settings file
    //      over its bound); retrying cannot help.
    kErrTooLarge = -63,
    // -62: the downloader is busy with a download (configuration or Run
    //      refused while one runs).
    kErrDownloadBusy = -62,
    // -407: the proxy asks for credentials (HTTP 407) that the run does not
    //       have, or refused the ones it was given; retrying without new
    //       ones cannot help.
    kErrProxyAuth = -407,
    // -100: reading from the network failed with a non-connection error.
    kErrRead = -100,
    // -400: opening the URL failed with an error outside the connection group.
    kErrOpenUrl = -400,
    // -402: a response header (status code, length, ...) could not be read.
    kErrQueryInfo = -402,
    // -403: the server answered with a status other than 200/206, or a ranged
    //       request was not answered with the range asked for.
    kErrHttpStatus = -403,
    // -500..-502: no connection (connection-type failures, retry limits).
    kErrNoConnection = -500,
    kErrNoConnectionReserved = -501,  // never produced; part of the tested range
    kErrPingConnection = -502,        // a tracking ping could not be sent
    // -503: a WinINet session could not be opened; proxy discovery failures.
    kErrSession = -503,
};

// True for the codes the progress window treats as "no Internet connection".
inline bool IsConnectionError(int code) {
    return code == kErrRead || code == kErrOpenUrl || code == kErrQueryInfo || code == kErrHttpStatus ||
           code == kErrProxyAuth || (code <= kErrNoConnection && code >= kErrSession);
}

// True for -500..-502, the codes the download supervision treats specially.
inline bool IsNoConnection(int code) {
    return code <= kErrNoConnection && code >= kErrPingConnection;
}

}  // namespace kavri
