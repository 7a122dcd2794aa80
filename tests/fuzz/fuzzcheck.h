#pragma once
// Every fuzz target's entry point, and the check that turns a broken invariant into a crash that
// libFuzzer records. Built with FUZZ_REPLAY, a target instead runs its entry point over the files
// of the directories it is given: the suite replays the corpus, so that what broke stays fixed.
#include <QDirIterator>
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                      \
    ((condition) ? void()                                                                          \
                 : (std::fprintf(stderr, "%s:%d: broken: %s\n", __FILE__, __LINE__, #condition),   \
                     std::abort()))
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
#ifdef FUZZ_REPLAY
int main(int argc, char **argv)
{
    int replayed = 0;
    for (int i = 1; i < argc; ++i)
        for (QDirIterator it(QString::fromLocal8Bit(argv[i]), QDir::Files); it.hasNext();
             ++replayed) {
            QFile file(it.next());
            FUZZ_CHECK(file.open(QIODevice::ReadOnly));
            const QByteArray b = file.readAll();
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(b.data()), size_t(b.size()));
        }
    return std::printf("%d inputs replayed\n", replayed) < 0 || replayed == 0;
}
#endif
