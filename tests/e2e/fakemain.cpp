// Stands in for the application's main program in the end-to-end test: records that it was
// started, in which directory and with how many arguments, in started.txt of its working
// directory. The file appears whole (written under another name, then renamed).

#include <cstdio>
#include <filesystem>
#include <fstream>

int main(int argc, char* argv[])
{
    (void)argv;
    const std::filesystem::path dir = std::filesystem::current_path();
    {
        std::ofstream out(dir / "started.tmp", std::ios::binary);
        out << dir.string() << "\n" << (argc - 1) << "\n";
    }
    std::filesystem::rename(dir / "started.tmp", dir / "started.txt");
    return 0;
}
