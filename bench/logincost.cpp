// The cost of one password login through acl::Logins, as the relay will ask it: cold (nothing
// cached, the argon2id hash on a worker thread) and warm (the keyed hash of a remembered login),
// each from check() to its result on the calling thread, and the hash alone (wall and CPU time).
// Run by hand:
//   build/release/bench/logincost [ROUNDS]
#include "acl/logins.h"
#include "acl/users.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace {

double loginMs(acl::Logins &logins)
{
    QObject receiver;
    bool done = false;
    QElapsedTimer timer;
    timer.start();
    logins.check("carol", "correct horse battery", QHostAddress::LocalHost, &receiver,
        [&done](const acl::LoginResult &r) { done = r.outcome == acl::LoginOutcome::Accepted; });
    while (!done)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return double(timer.nsecsElapsed()) / 1e6;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    QTemporaryDir dir;
    acl::Users users(dir.path());
    if (!users.setPassword("carol", "correct horse battery").isEmpty())
        return 1;
    std::vector<double> cold, warm, hash, hashCpu;
    for (int round = 0; round < rounds; ++round) {
        acl::Logins logins(users); // a new run: nothing remembered
        cold.push_back(loginMs(logins));
        for (int i = 0; i < 1000; ++i)
            warm.push_back(loginMs(logins));
        // The hash alone, also in this thread's CPU time: on a busy machine the wall time says
        // more about the other processes than about the hash.
        timespec cpu0 {}, cpu1 {};
        QElapsedTimer timer;
        timer.start();
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu0);
        acl::verifyPassword(*users.hashOf("carol"), "correct horse battery");
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu1);
        hash.push_back(double(timer.nsecsElapsed()) / 1e6);
        hashCpu.push_back(
            double(cpu1.tv_sec - cpu0.tv_sec) * 1e3 + double(cpu1.tv_nsec - cpu0.tv_nsec) / 1e6);
    }
    std::printf("login, cold: median %.1f ms (argon2id alone %.1f ms, %.1f ms of CPU); warm: "
                "median %.1f us (%d rounds)\n",
        median(cold), median(hash), median(hashCpu), median(warm) * 1000, rounds);
    return 0;
}
