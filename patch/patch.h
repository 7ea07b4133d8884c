// The Traditional-Chinese patch: the "patch.big5" format, the language rule, applying a patch
// and making one.
#pragma once
#include "patch/big5_format.h"
#include "setup/setup.h"

WORD GetLanguageClass();
void ApplyBig5Patch(const WCHAR* patchPath, const WCHAR* targetPath);
bool CreateBig5Patch();
