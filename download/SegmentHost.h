// The narrow view a segment worker has of the download it works for: what
// to ask for next, where its bytes go, and whether to stop. The coordinator
// implements it; a segment knows nothing else of it.
//
// Concurrency: every call comes from a segment's worker thread, from many at
// once; implementations are thread-safe.
#pragma once

#include <cstdint>
#include <string>

#include "download/Connection.h"
#include "download/Planner.h"

class ISegmentHost {
public:
    enum class Work { kPiece, kLater, kNone };

    // Cancelled, or the run the worker belongs to has ended.
    virtual bool ShouldStop() = 0;
    // The next piece for worker id, and the validator its request carries
    // in If-Range (empty: none). kLater: nothing now, but others' pieces are
    // under way and one may turn out slow: ask again shortly. kNone: nothing
    // is left for it.
    virtual Work NextPiece(uint32_t id, kavri::ByteRange* piece, std::wstring* ifRange) = 0;
    // False when the answer to a piece shows another version of the file.
    virtual bool SameFile(const kavri::AnswerInfo& answer) = 0;
    // count bytes arrived at offset for worker id: how many of them belonged
    // to its piece and were written (*pieceDone: nothing more of it is
    // wanted); a negative kavri::EErrorCode that ends the download when
    // writing failed (kErrWriteFile) or the file outgrew its bound (kErrTooLarge).
    virtual int64_t Deliver(uint32_t id, uint64_t offset, const void* data, uint32_t count, bool* pieceDone) = 0;
    // The worker stops: what it has not read goes back to the others.
    virtual void Stopped(uint32_t id) = 0;

protected:
    ~ISegmentHost() = default;
};
