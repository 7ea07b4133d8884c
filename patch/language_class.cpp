#include "patch/patch.h"

// For Chinese (PRC) and Chinese (Taiwan) the class is the sublanguage (2 and 1), for every other
// language the primary language; classes 1 and 4 get the Traditional-Chinese patch.
WORD GetLanguageClass() {
    LANGID id = GetSystemDefaultLangID();
    WORD primary = id & 0x3FF;
    WORD sub = id >> 10;
    if (primary == LANG_CHINESE && (sub == 2 || sub == 1))
        return sub;
    return primary;
}
