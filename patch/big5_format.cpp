#include "patch/big5_format.h"

// Bytes are moved in blocks of this size: memory stays constant whatever a record's length.
const size_t CopyBlockSize = 64 * 1024;

static bool ReadExact(FILE* stream, BYTE* bytes, size_t count) {
    return fread(bytes, 1, count, stream) == count;
}

static DWORD GetLittle32(const BYTE* b) {
    return static_cast<DWORD>(b[0]) | static_cast<DWORD>(b[1]) << 8 |
           static_cast<DWORD>(b[2]) << 16 | static_cast<DWORD>(b[3]) << 24;
}

static void PutLittle32(BYTE* b, DWORD value) {
    for (int i = 0; i < 4; ++i)
        b[i] = static_cast<BYTE>(value >> (8 * i));
}

bool ReadBig5PatchHeader(FILE* patch, Big5PatchHeader* header) {
    BYTE b[Big5PatchHeaderSize];
    if (!ReadExact(patch, b, sizeof b))
        return false;
    header->ModuleSize = GetLittle32(b);
    header->RecordCount = static_cast<WORD>(b[4] | b[5] << 8);
    return true;
}

bool ReadBig5PatchRecord(FILE* patch, Big5PatchRecord* record) {
    BYTE b[Big5PatchRecordHeaderSize];
    if (!ReadExact(patch, b, sizeof b))
        return false;
    record->Offset = GetLittle32(b);
    record->Length = GetLittle32(b + 4);
    return true;
}

bool WriteBig5PatchHeader(FILE* patch, const Big5PatchHeader& header) {
    BYTE b[Big5PatchHeaderSize];
    PutLittle32(b, header.ModuleSize);
    b[4] = static_cast<BYTE>(header.RecordCount);
    b[5] = static_cast<BYTE>(header.RecordCount >> 8);
    return fwrite(b, 1, sizeof b, patch) == sizeof b;
}

bool WriteBig5PatchRecord(FILE* patch, const Big5PatchRecord& record) {
    BYTE b[Big5PatchRecordHeaderSize];
    PutLittle32(b, record.Offset);
    PutLittle32(b + 4, record.Length);
    return fwrite(b, 1, sizeof b, patch) == sizeof b;
}

// -1 when the length cannot be found; the stream is left at its end.
long long GetStreamLength(FILE* stream) {
    if (fseek(stream, 0, SEEK_END) != 0)
        return -1;
    long length = ftell(stream);
    return length < 0 ? -1 : static_cast<long long>(length);
}

bool CopyStreamBytes(FILE* from, FILE* to, unsigned long long count) {
    BYTE block[CopyBlockSize];
    while (count > 0) {
        size_t part = count < CopyBlockSize ? static_cast<size_t>(count) : CopyBlockSize;
        if (!ReadExact(from, block, part) || fwrite(block, 1, part, to) != part)
            return false;
        count -= part;
    }
    return true;
}

static Big5PatchCheck Broken(Big5PatchCheck why, long long at, long long* problemOffset) {
    if (problemOffset != NULL)
        *problemOffset = at;
    return why;
}

// Nothing of the target is touched until the whole patch has been read and found to fit it:
// a damaged patch must never leave a half-patched module behind.
Big5PatchCheck CheckBig5Patch(FILE* patch, long long targetLength, long long* problemOffset) {
    long long patchLength = GetStreamLength(patch);
    if (patchLength < 0 || fseek(patch, 0, SEEK_SET) != 0)
        return Broken(PatchUnreadable, 0, problemOffset);
    Big5PatchHeader header;
    if (patchLength < Big5PatchHeaderSize || !ReadBig5PatchHeader(patch, &header))
        return Broken(PatchTruncatedHeader, 0, problemOffset);
    if (static_cast<long long>(header.ModuleSize) != targetLength)
        return Broken(PatchSizeMismatch, 0, problemOffset);

    long long at = Big5PatchHeaderSize;
    for (unsigned i = 0; i < header.RecordCount; ++i) {
        Big5PatchRecord record;
        if (patchLength - at < Big5PatchRecordHeaderSize)
            return Broken(PatchTruncatedRecord, at, problemOffset);
        if (!ReadBig5PatchRecord(patch, &record))
            return Broken(PatchUnreadable, at, problemOffset);
        unsigned long long end = static_cast<unsigned long long>(record.Offset) + record.Length;
        if (end > header.ModuleSize)
            return Broken(PatchRangeOutside, at, problemOffset);
        if (static_cast<unsigned long long>(patchLength - at - Big5PatchRecordHeaderSize) <
            record.Length)
            return Broken(PatchTruncatedRecord, at, problemOffset);
        at += Big5PatchRecordHeaderSize + static_cast<long long>(record.Length);
        if (fseek(patch, static_cast<long>(at), SEEK_SET) != 0)
            return Broken(PatchUnreadable, at, problemOffset);
    }
    if (at != patchLength)
        return Broken(PatchTrailingBytes, at, problemOffset);
    return PatchValid;
}

bool WriteBig5PatchRecords(FILE* patch, FILE* target) {
    Big5PatchHeader header;
    if (fseek(patch, 0, SEEK_SET) != 0 || !ReadBig5PatchHeader(patch, &header))
        return false;
    for (unsigned i = 0; i < header.RecordCount; ++i) {
        Big5PatchRecord record;
        if (!ReadBig5PatchRecord(patch, &record) ||
            fseek(target, static_cast<long>(record.Offset), SEEK_SET) != 0 ||
            !CopyStreamBytes(patch, target, record.Length))
            return false;
    }
    return fflush(target) == 0;
}
