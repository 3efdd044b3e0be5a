// 7z archives through the 7z program of p7zip-full, one folder per item (not
// solid), so that a reader unpacks a small package without decoding the
// receiver images stored before it. The program sorts the files it is given by
// name, so the items are added under names that sort in the wanted order
// ("0000", "0001", ...) and then renamed inside the archive; a rename keeps the
// order.
#include "tools/fwpack/FwPack.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{

class TTempDir
{
  public:
    TTempDir()
    {
        const char* base = std::getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/fwpack.XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
            throw EPackError(std::string("cannot create a temporary folder: ") + std::strerror(errno));
        FPath = pattern;
    }
    ~TTempDir()
    {
        std::error_code ec;
        fs::remove_all(FPath, ec);
    }
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;
    const std::string& Path() const { return FPath; }

  private:
    std::string FPath;
};

// Runs Args[0] with its working folder Dir; its output goes to Log.
int Run(const std::vector<std::string>& Args, const std::string& Dir, const std::string& Log)
{
    std::vector<char*> argv;
    for (const std::string& a : Args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0)
        throw EPackError(std::string("cannot start ") + Args[0] + ": " + std::strerror(errno));
    if (pid == 0) {
        const int fd = open(Log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int null = open("/dev/null", O_RDONLY);
        if (fd < 0 || null < 0 || chdir(Dir.c_str()) != 0 || dup2(null, 0) < 0 || dup2(fd, 1) < 0 ||
            dup2(fd, 2) < 0)
            _exit(126);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            throw EPackError(std::string("lost ") + Args[0] + ": " + std::strerror(errno));
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

void CheckItemName(const std::string& Name)
{
    const bool bad =
        Name.empty() || Name == "." || Name == ".." || Name[0] == '-' || Name[0] == '@' ||
        Name.find_first_of("/\\*?") != std::string::npos ||
        std::any_of(Name.begin(), Name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; });
    if (bad)
        throw EPackError("\"" + Name +
                         "\" cannot be an archive item name (no folders, wildcards, control characters, "
                         "leading \"-\" or \"@\")");
}

} // namespace

std::string BuildSevenZip(const std::vector<TArchiveItem>& Items, const std::string& SevenZipProgram)
{
    if (Items.empty())
        throw EPackError("an archive needs at least one item");
    if (Items.size() > 9999)
        throw EPackError("too many archive items");
    std::set<std::string> names;
    for (const TArchiveItem& item : Items) {
        CheckItemName(item.Name);
        if (!names.insert(item.Name).second)
            throw EPackError("archive item \"" + item.Name + "\" is given twice");
    }

    TTempDir dir;
    std::vector<std::string> add = {SevenZipProgram, "a", "-t7z", "-bd", "-y",
                                    // Fixed settings: the same input gives the same archive on any machine.
                                    "-mx=5", "-ms=off", "-mmt=1", "-mtm=off", "-mtc=off", "-mta=off",
                                    "-mtr=off", "--", "archive.7z"};
    std::vector<std::string> rename = {SevenZipProgram, "rn", "-bd", "-y", "--", "archive.7z"};
    for (size_t i = 0; i < Items.size(); ++i) {
        char stage[24];
        std::snprintf(stage, sizeof stage, "%04zu", i);
        WriteFileBytes(dir.Path() + "/" + stage, Items[i].Data);
        add.push_back(stage);
        rename.push_back(stage);
        rename.push_back(Items[i].Name);
    }
    const std::string log = dir.Path() + "/7z.log";
    for (const auto* args : {&add, &rename}) {
        const int rc = Run(*args, dir.Path(), log);
        if (rc != 0) {
            std::string output;
            try {
                output = ReadFileBytes(log);
            } catch (const EPackError&) {
            }
            if (rc == 127)
                throw EPackError("cannot run \"" + SevenZipProgram + "\" (install p7zip-full or pass --7z)");
            throw EPackError("\"" + SevenZipProgram + " " + (*args)[1] + "\" failed with exit code " +
                             std::to_string(rc) + ":\n" + output);
        }
    }
    return ReadFileBytes(dir.Path() + "/archive.7z");
}
