// Any bytes as "patch.big5" against the installed module: afterwards the module holds exactly
// what a patch passing every check of the format makes of it, or is unchanged when the patch
// fails one; the patch is untouched, no temporary copy stays and every stream is closed.
#include "fuzz_support.h"
#include "patch/patch.h"

namespace {

const std::u16string Target = u"C:\\Windows\\system32\\quenlix.ime";
const std::u16string PatchPath = u"C:\\dl\\patch.big5";
const std::string Module = "0123456789abcdefghijklmnopqrstuv";

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::FreshMachine();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string patch(reinterpret_cast<const char*>(data), size);
    FUZZ_CHECK(winsim::PlaceFile(Target, Module) && winsim::PlaceFile(PatchPath, patch),
               "the machine takes the module and the patch");

    ApplyBig5Patch(PatchPath.c_str(), Target.c_str());

    std::optional<std::string> patched = fuzz::ApplyPatch(Module, patch);
    FUZZ_CHECK(winsim::FileBytes(Target) == (patched ? *patched : Module),
               "the module is what the checked patch makes of it, or unchanged");
    FUZZ_CHECK(winsim::FileBytes(PatchPath) == patch, "the patch is not written to");
    FUZZ_CHECK(fuzz::FolderEntries(u"C:\\Windows\\system32").size() == 1,
               "no temporary copy stays beside the module");
    winsim::EndProcess();
    FUZZ_CHECK(winsim::LastProcessLeftovers().fileStreams == 0, "every stream is closed");
    winsim::ClearCalls(); // the list would grow from one input to the next
    return 0;
}
