// One libFuzzer executable per entry of FuzzTargets, chosen at build time
// by TAVRO_FUZZ_TARGET. A property that does not hold aborts, which the
// fuzzer records like a crash.
#include "FuzzTargets.h"

#include <QCoreApplication>

#include <cstdint>
#include <cstdlib>

namespace {

FuzzTargets::Entry entry = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    entry = FuzzTargets::find(TAVRO_FUZZ_TARGET);
    return entry ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    if (!entry(input))
        std::abort();
    return 0;
}
