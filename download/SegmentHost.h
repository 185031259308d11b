// The narrow view a segment worker has of the download it works for: what
// to ask for next, where its bytes go, and whether to stop. The coordinator
// implements it; a segment knows nothing else of it.
//
// Concurrency: every call comes from a segment's worker thread, from many at
// once; implementations are thread-safe. A worker holds a shared reference
// to its host while it runs, so the host outlives every call. None of these
// calls notifies anyone but Progressed, which the worker makes holding no lock.
#pragma once

#include <cstdint>
#include <string>

#include "download/Connection.h"
#include "download/Planner.h"

class CSegment;

class ISegmentHost {
public:
    enum class Work { kPiece, kLater, kNone };

    // Cancelled, or the run the worker belongs to has ended.
    virtual bool ShouldStop() = 0;
    // The next piece for the worker, and the validator its request carries
    // in If-Range (empty: none). kLater: nothing now, but others' pieces are
    // under way and one may turn out slow: ask again shortly. kNone: nothing
    // is left for it.
    virtual Work NextPiece(const CSegment& worker, kavri::ByteRange* piece, std::wstring* ifRange) = 0;
    // False when the answer to a piece shows another version of the file.
    virtual bool SameFile(const CSegment& worker, const kavri::AnswerInfo& answer) = 0;
    // count bytes arrived at offset for the worker: how many of them belonged
    // to its piece and were written (*pieceDone: nothing more of it is
    // wanted); a negative kavri::EErrorCode that ends the download when
    // writing failed or the worker was cut off (kErrWriteFile), or the file
    // outgrew its bound (kErrTooLarge).
    virtual int64_t Deliver(const CSegment& worker, uint64_t offset, const void* data, uint32_t count,
                            bool* pieceDone) = 0;
    // Bytes were delivered: the host may tell its listener (rate-limited).
    virtual void Progressed() = 0;
    // The worker stops: what it has not read goes back to the others.
    virtual void Stopped(const CSegment& worker) = 0;

protected:
    ~ISegmentHost() = default;
};
