#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("kelvatta %s\n", KELVATTA_VERSION);
        return 0;
    }
    std::fprintf(stderr, "用法：kelvatta [--save-as] 路径...\n");
    return 2;
}
