// SPDX-License-Identifier: MIT
// A helper a tool may leave behind: hogspin-stray READY. In a session of its own and deaf to
// SIGINT, it writes its PID to READY (a FIFO its starter reads), then ends its main thread
// while another sleeps on, 30 s at most: /proc then shows its leader a zombie.
#include <csignal>
#include <cstdio>

#include <pthread.h>
#include <unistd.h>

namespace
{

void* Sleep(void*)
{
    sleep(30);
    return nullptr;
}

} // namespace

int main(int argc, char** argv)
{
    pthread_t thread;
    if (argc != 2 || setsid() < 0 || std::signal(SIGINT, SIG_IGN) == SIG_ERR || pthread_create(&thread, nullptr, Sleep, nullptr) != 0)
    {
        return 1;
    }
    FILE* pReady = std::fopen(argv[1], "w");
    if (pReady == nullptr || std::fprintf(pReady, "%d\n", static_cast<int>(getpid())) < 0 || std::fclose(pReady) != 0)
    {
        return 1;
    }
    pthread_exit(nullptr);
}
