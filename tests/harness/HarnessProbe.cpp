// A Windows program that misbehaves on request, for the tests of the Wine runner:
//
//   qvn_harness_probe print TEXT   prints TEXT and a line end, exits 0
//   qvn_harness_probe quiet N      exits with status N without a word
//   qvn_harness_probe crash        writes through a null pointer
//   qvn_harness_probe overflow     adds 1 to INT_MAX: traps where undefined behaviour is checked
//   qvn_harness_probe wait N       sleeps N seconds, so that its process can be examined
#include <windows.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "print") == 0)
    {
        std::printf("%s\n", argv[2]);
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "quiet") == 0)
    {
        return std::atoi(argv[2]);
    }
    if (argc == 2 && std::strcmp(argv[1], "crash") == 0)
    {
        std::fprintf(stderr, "crashing on purpose\n");
        std::fflush(stderr);
        volatile int* nowhere = nullptr;
        *nowhere = 1;
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "overflow") == 0)
    {
        volatile int largest = INT_MAX;
        std::printf("%d\n", largest + 1);
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "wait") == 0)
    {
        Sleep(static_cast<DWORD>(std::atoi(argv[2])) * 1000);
        return 0;
    }
    std::fprintf(stderr, "usage: qvn_harness_probe print TEXT | quiet N | crash | overflow | wait SECONDS\n");
    return 2;
}
