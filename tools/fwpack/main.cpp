// fwpack: builds the firmware packages and the embedded firmware resources of
// Veltrac GNSS Firmware Update from a manifest, payload files and a keys file.
#include "tools/fwpack/FwPack.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>

namespace
{

const char* const kUsage = R"(Usage: fwpack --keys FILE --manifest FILE [outputs] [--7z PROGRAM]
       fwpack --help

Builds, from a manifest (below), payload files and a keys file, everything the
Veltrac GNSS Firmware Update tool reads: INI packages, "QVD_FW_v01" (.efw) and
"QVD_CFW_v01" (.cfw) containers, MediaTek-style receiver images, the 7z archive
of images and packages, the enciphered firmware image and the External GPS
controller container. The same inputs always give the same bytes.

Outputs (at least one):
  --gps-fw FILE     resource "gps_fw": a 16-byte IV, then AES-128-CBC (image
                    key, count-byte padding) of: label, "|", the 7z archive
  --egps-fw FILE    resource "egps_fw": the [module] version as "QVD_FW_v01"
  --archive FILE    the plain 7z archive inside gps_fw
  --dir DIR         every archive item as a file (and egps_fw.efw with a module)
  --expected FILE   INI text listing what was made (items in archive order,
                    identities, maps, CRCs), for tests
  --depfile FILE    build dependencies of the first output on the inputs

Options:
  --keys FILE       lines image=<32 hex>, cfw=<32 hex>, efw=<32 hex>; "#" starts
                    a comment line
  --manifest FILE   the manifest
  --7z PROGRAM      the 7z program of p7zip-full (default: 7z from PATH)

)";

std::string DepEscape(const std::string& Path)
{
    std::string out;
    for (char c : Path) {
        if (c == ' ' || c == '#' || c == '\\')
            out += '\\';
        if (c == '$')
            out += '$';
        out += c;
    }
    return out;
}

} // namespace

int main(int argc, char** argv)
{
    std::map<std::string, std::string> opt;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::cout << kUsage << kManifestHelp;
            return 0;
        }
        static const char* const known[] = {"--keys", "--manifest", "--gps-fw",  "--egps-fw", "--archive",
                                            "--dir",  "--expected", "--depfile", "--7z"};
        if (std::find(std::begin(known), std::end(known), a) == std::end(known) || i + 1 >= argc) {
            std::cerr << "fwpack: " << (i + 1 >= argc ? "missing value after " : "unknown option ") << a
                      << " (see fwpack --help)\n";
            return 2;
        }
        opt[a] = argv[++i];
    }
    if (!opt.count("--keys") || !opt.count("--manifest")) {
        std::cerr << "fwpack: --keys and --manifest are required (see fwpack --help)\n";
        return 2;
    }
    const char* outputs[] = {"--gps-fw", "--egps-fw", "--archive", "--dir", "--expected"};
    std::string first;
    for (const char* o : outputs)
        if (opt.count(o) && first.empty())
            first = opt[o];
    if (first.empty()) {
        std::cerr << "fwpack: nothing to write: give at least one output (see fwpack --help)\n";
        return 2;
    }

    try {
        namespace fs = std::filesystem;
        const TPackKeys keys = ReadKeysFile(opt["--keys"]);
        const std::string manifest = opt["--manifest"];
        const std::string base = fs::path(manifest).parent_path().string();
        const TPackResult r = BuildFromManifest(ReadFileBytes(manifest), base.empty() ? "." : base, keys,
                                                opt.count("--7z") ? opt["--7z"] : "7z");
        if (opt.count("--egps-fw") && r.EgpsFw.empty())
            throw EPackError("--egps-fw needs a [module] section in the manifest");
        if (opt.count("--gps-fw"))
            WriteFileBytes(opt["--gps-fw"], r.GpsFw);
        if (opt.count("--egps-fw"))
            WriteFileBytes(opt["--egps-fw"], r.EgpsFw);
        if (opt.count("--archive"))
            WriteFileBytes(opt["--archive"], r.Archive);
        if (opt.count("--expected"))
            WriteFileBytes(opt["--expected"], r.Expected);
        if (opt.count("--dir")) {
            const fs::path dir = opt["--dir"];
            std::error_code ec;
            fs::create_directories(dir, ec);
            if (ec)
                throw EPackError("cannot create " + dir.string() + ": " + ec.message());
            for (const TArchiveItem& item : r.Items)
                WriteFileBytes((dir / item.Name).string(), item.Data);
            if (!r.EgpsFw.empty())
                WriteFileBytes((dir / "egps_fw.efw").string(), r.EgpsFw);
        }
        if (opt.count("--depfile")) {
            std::string dep = DepEscape(first) + ":";
            for (const std::string& in : {opt["--manifest"], opt["--keys"]})
                dep += " " + DepEscape(in);
            for (const std::string& in : r.Inputs)
                dep += " " + DepEscape(in);
            WriteFileBytes(opt["--depfile"], dep + "\n");
        }
    } catch (const std::exception& e) {
        std::cerr << "fwpack: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
