// Stand-in for the relaunched application: writes its own arguments, one per
// line, to the file named by the first one, then exits.
#include <cstdio>

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    // Written under a temporary name and renamed, so a reader never sees a
    // half-written record.
    char temporary[4096];
    std::snprintf(temporary, sizeof temporary, "%s.tmp", argv[1]);
    std::FILE* out = std::fopen(temporary, "w");
    if (out == nullptr)
        return 1;
    for (int i = 1; i < argc; ++i)
        std::fprintf(out, "%s\n", argv[i]);
    std::fclose(out);
    return std::rename(temporary, argv[1]) == 0 ? 0 : 1;
}
