// The "patch.big5" format: one reader and one writer, shared by the setup program and the
// packagers' patch tool. Works on byte streams only; it calls nothing of Windows.
#pragma once
#include <windows.h>

#include <stdio.h>

// "patch.big5": a header, then RecordCount records, each followed by its Length new bytes.
// All integers little-endian, fields back to back.
struct Big5PatchHeader {
    DWORD ModuleSize;
    WORD RecordCount;
};
struct Big5PatchRecord {
    DWORD Offset;
    DWORD Length;
};
const long Big5PatchHeaderSize = 6;
const long Big5PatchRecordHeaderSize = 8;

// Why a patch cannot be applied to a target; PatchValid when it can.
enum Big5PatchCheck {
    PatchValid,
    PatchUnreadable,      // a read or seek of the patch failed
    PatchTruncatedHeader, // shorter than its 6-byte header
    PatchSizeMismatch,    // ModuleSize is not the target's length
    PatchTruncatedRecord, // a record's header or bytes run past the end of the file
    PatchRangeOutside,    // a record's range does not lie inside ModuleSize
    PatchTrailingBytes,   // bytes after the last record: the count does not cover the file
};

// Format primitives: the one reader and writer of the format.
bool ReadBig5PatchHeader(FILE* patch, Big5PatchHeader* header);
bool ReadBig5PatchRecord(FILE* patch, Big5PatchRecord* record);
bool WriteBig5PatchHeader(FILE* patch, const Big5PatchHeader& header);
bool WriteBig5PatchRecord(FILE* patch, const Big5PatchRecord& record);
long long GetStreamLength(FILE* stream);
bool CopyStreamBytes(FILE* from, FILE* to, unsigned long long count);

// Reads the whole patch (from its start) and checks it against a target of targetLength bytes.
// problemOffset, when given, receives the file offset where the patch breaks.
Big5PatchCheck CheckBig5Patch(FILE* patch, long long targetLength, long long* problemOffset);

// Applies a patch that CheckBig5Patch accepted; false when a read or write fails.
bool WriteBig5PatchRecords(FILE* patch, FILE* target);

enum Big5PatchMake {
    PatchMade,
    MakeLengthsDiffer,
    MakeTooLarge,    // a module of 4 GiB or more cannot be described
    MakeTooManyRuns, // more runs than RecordCount can count
    MakeReadFailed,
    MakeWriteFailed,
};
// Writes to `patch` (empty, at its start) the patch that turns `local` into `installed`.
Big5PatchMake MakeBig5Patch(FILE* local, FILE* installed, FILE* patch, unsigned long* runs);
