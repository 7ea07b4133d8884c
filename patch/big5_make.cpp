#include "patch/big5_format.h"

#include <stdint.h>
#include <string.h>

namespace {

const size_t BlockSize = 64 * 1024;
const unsigned long MaxRuns = 0xFFFF;

// One run of differing bytes on its way into the patch. Its bytes are buffered up to a block;
// a longer run gets its record header first and its length filled in when it ends, so memory
// stays constant whatever the run's length.
struct RunWriter {
    FILE* Patch;
    bool Open;
    DWORD Offset;
    DWORD Length;
    long RecordAt; // where its header was written, or -1 while everything is still buffered
    size_t Fill;
    BYTE Bytes[BlockSize];
};

bool FlushRun(RunWriter* run) {
    if (run->RecordAt < 0) {
        run->RecordAt = ftell(run->Patch);
        Big5PatchRecord placeholder = {run->Offset, 0};
        if (run->RecordAt < 0 || !WriteBig5PatchRecord(run->Patch, placeholder))
            return false;
    }
    bool written = fwrite(run->Bytes, 1, run->Fill, run->Patch) == run->Fill;
    run->Fill = 0;
    return written;
}

bool EndRun(RunWriter* run) {
    run->Open = false;
    Big5PatchRecord record = {run->Offset, run->Length};
    if (run->RecordAt < 0)
        return WriteBig5PatchRecord(run->Patch, record) &&
               fwrite(run->Bytes, 1, run->Fill, run->Patch) == run->Fill;
    return FlushRun(run) && fseek(run->Patch, run->RecordAt, SEEK_SET) == 0 &&
           WriteBig5PatchRecord(run->Patch, record) && fseek(run->Patch, 0, SEEK_END) == 0;
}

// Adds bytes to the open run, a block at a time; a full buffer is written out only when more
// bytes follow, as the byte-by-byte walk would.
bool AppendToRun(RunWriter* run, const BYTE* bytes, size_t count) {
    while (count > 0) {
        if (run->Fill == BlockSize && !FlushRun(run))
            return false;
        size_t part = count < BlockSize - run->Fill ? count : BlockSize - run->Fill;
        memcpy(run->Bytes + run->Fill, bytes, part);
        run->Fill += part;
        run->Length += static_cast<DWORD>(part);
        bytes += part;
        count -= part;
    }
    return true;
}

uint64_t Load64(const BYTE* bytes) {
    uint64_t value;
    memcpy(&value, bytes, sizeof value);
    return value;
}

// The first position at or after `from` where the blocks differ, or `count`. Modules are mostly
// equal bytes, so they are compared 32 at a time; the byte loop then finds the exact place.
size_t FindDifference(const BYTE* a, const BYTE* b, size_t from, size_t count) {
    size_t i = from;
    for (; i + 32 <= count; i += 32) {
        uint64_t differ =
            (Load64(a + i) ^ Load64(b + i)) | (Load64(a + i + 8) ^ Load64(b + i + 8)) |
            (Load64(a + i + 16) ^ Load64(b + i + 16)) | (Load64(a + i + 24) ^ Load64(b + i + 24));
        if (differ != 0)
            break;
    }
    while (i < count && a[i] == b[i])
        ++i;
    return i;
}

// The first position at or after `from` where the blocks hold the same byte, or `count`: a zero
// byte in a ^ b, found eight bytes at a time.
size_t FindEqual(const BYTE* a, const BYTE* b, size_t from, size_t count) {
    const uint64_t ones = 0x0101010101010101ULL;
    const uint64_t highs = 0x8080808080808080ULL;
    size_t i = from;
    for (; i + 8 <= count; i += 8) {
        uint64_t x = Load64(a + i) ^ Load64(b + i);
        if (((x - ones) & ~x & highs) != 0)
            break;
    }
    while (i < count && a[i] != b[i])
        ++i;
    return i;
}

RunWriter Run;
BYTE LocalBlock[BlockSize];
BYTE InstalledBlock[BlockSize];

} // namespace

// Walks both copies in step. Every differing byte lands in exactly one record, records come in
// increasing offset order, and two records always have an equal byte between them.
Big5PatchMake MakeBig5Patch(FILE* local, FILE* installed, FILE* patch, unsigned long* runs) {
    *runs = 0;
    long long length = GetStreamLength(local);
    long long installedLength = GetStreamLength(installed);
    if (length < 0 || installedLength < 0)
        return MakeReadFailed;
    if (length != installedLength)
        return MakeLengthsDiffer;
    if (length > 0xFFFFFFFFLL)
        return MakeTooLarge;
    Big5PatchHeader header = {static_cast<DWORD>(length), 0};
    if (!WriteBig5PatchHeader(patch, header))
        return MakeWriteFailed;
    if (fseek(local, 0, SEEK_SET) != 0 || fseek(installed, 0, SEEK_SET) != 0)
        return MakeReadFailed;

    Run.Patch = patch;
    Run.Open = false;
    for (long long position = 0; position < length;) {
        size_t count = length - position < static_cast<long long>(BlockSize)
                           ? static_cast<size_t>(length - position)
                           : BlockSize;
        if (fread(LocalBlock, 1, count, local) != count ||
            fread(InstalledBlock, 1, count, installed) != count)
            return MakeReadFailed;
        for (size_t i = 0; i < count;) {
            if (!Run.Open) {
                i = FindDifference(LocalBlock, InstalledBlock, i, count);
                if (i == count)
                    break;
                if (++*runs > MaxRuns)
                    return MakeTooManyRuns;
                Run.Open = true;
                Run.Offset = static_cast<DWORD>(position + static_cast<long long>(i));
                Run.Length = 0;
                Run.RecordAt = -1;
                Run.Fill = 0;
            }
            // The run goes on to the next equal byte, or past this block.
            size_t end = FindEqual(LocalBlock, InstalledBlock, i, count);
            if (!AppendToRun(&Run, InstalledBlock + i, end - i))
                return MakeWriteFailed;
            i = end;
            if (i < count) {
                if (!EndRun(&Run))
                    return MakeWriteFailed;
                ++i;
            }
        }
        position += static_cast<long long>(count);
    }
    if (Run.Open && !EndRun(&Run))
        return MakeWriteFailed;

    header.RecordCount = static_cast<WORD>(*runs);
    if (fseek(patch, 0, SEEK_SET) != 0 || !WriteBig5PatchHeader(patch, header) ||
        fflush(patch) != 0)
        return MakeWriteFailed;
    return PatchMade;
}
