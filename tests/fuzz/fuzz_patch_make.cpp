// Any two modules of one length (the input's halves) through "/patch": the patch passes every
// check of the format, its records come in increasing order with at least one equal byte
// between two of them and cover exactly the differing bytes with the installed copy's bytes,
// and applied to the first module - by the format itself and by the program's applier - it
// gives the second byte for byte.
#include "fuzz_support.h"
#include "patch/patch.h"

namespace {

const std::u16string Local = u"C:\\build\\quenlix.ime";
const std::u16string Installed = u"C:\\Windows\\system32\\quenlix.ime";
const std::u16string Made = u"C:\\build\\patch.big5";
const std::u16string Check = u"C:\\check\\quenlix.ime";

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::FreshMachine();
    FUZZ_CHECK(winsim::MakeDirectory(u"C:\\build") && winsim::MakeDirectory(u"C:\\check"),
               "the machine takes the folders");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t half = size / 2;
    std::string local(reinterpret_cast<const char*>(data), half);
    std::string installed(reinterpret_cast<const char*>(data) + half, half);
    FUZZ_CHECK(winsim::PlaceFile(Local, local) && winsim::PlaceFile(Installed, installed) &&
                   winsim::SetCurrentDirectory(u"C:\\build"),
               "the machine takes both modules");

    FUZZ_CHECK(CreateBig5Patch(), "a patch is made for modules of one length");

    std::optional<std::string> patch = winsim::FileBytes(Made);
    FUZZ_CHECK(patch.has_value(), "patch.big5 is written");
    auto records = fuzz::ReadPatch(*patch, half);
    FUZZ_CHECK(records.has_value(), "the patch passes every check of the format");
    std::vector<bool> covered(half, false);
    uint64_t nextFree = 0; // the first offset a record may start at
    for (const fuzz::PatchRecord& record : *records) {
        FUZZ_CHECK(record.length > 0 && record.offset >= nextFree,
                   "records increase, with an equal byte between two of them");
        FUZZ_CHECK(patch->compare(record.bytesAt, record.length, installed, record.offset,
                                  record.length) == 0,
                   "a record holds the installed copy's bytes");
        for (uint32_t i = 0; i < record.length; ++i)
            covered[record.offset + i] = true;
        nextFree = uint64_t(record.offset) + record.length + 1;
    }
    for (size_t i = 0; i < half; ++i)
        FUZZ_CHECK(covered[i] == (local[i] != installed[i]),
                   "the records cover exactly the differing bytes");
    FUZZ_CHECK(fuzz::ApplyPatch(local, *patch) == installed,
               "the patch turns the first module into the second");

    FUZZ_CHECK(winsim::PlaceFile(Check, local), "the machine takes a copy of the first module");
    ApplyBig5Patch(Made.c_str(), Check.c_str());
    FUZZ_CHECK(winsim::FileBytes(Check) == installed,
               "the program's applier turns the first module into the second");
    FUZZ_CHECK(fuzz::FolderEntries(u"C:\\build").size() == 2, "no temporary patch stays");
    winsim::EndProcess();
    FUZZ_CHECK(winsim::LastProcessLeftovers().fileStreams == 0, "every stream is closed");
    winsim::ClearCalls(); // the list would grow from one input to the next
    return 0;
}
