// Writes the sample upgrade packages into a directory (normally <build>/cfg/):
// a few Talvenmark Pro packages in several languages, each with a descriptor,
// a data file, a boot image and an application image, plus one package of
// another product that the package scan leaves out. The contents are
// deterministic, so every build writes the same bytes.
#include <archive.h>
#include <archive_entry.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Member {
    std::string name;
    std::string contents;
};

struct Package {
    std::string file;
    std::vector<Member> members;
};

// Pseudo-random but repeatable bytes (xorshift), with some structure so that
// the images compress a little, as real firmware does.
std::string ImageBytes(std::size_t size, std::uint32_t seed) {
    std::string bytes(size, '\0');
    std::uint32_t x = seed * 2654435761u + 1;
    for (std::size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[i] = (i % 16 < 4) ? static_cast<char>(i / 16) : static_cast<char>(x & 0xFF);
    }
    return bytes;
}

std::string Descriptor(const std::string& description, const std::string& language,
                       const std::string& version, const std::string& date) {
    return "[PACKAGE]\r\nDescription=" + description + "\r\nlanguage=" + language +
           "\r\nVersion=" + version + "\r\nversion_date=" + date + "\r\n";
}

Package Pro(const std::string& file, const std::string& language, const std::string& version,
            const std::string& date, std::uint32_t seed) {
    return Package{file,
                   {{"package.inf", Descriptor("Talvenmark Pro software,upgrade package", language,
                                               version, date)},
                    {"language.dat", ImageBytes(24 * 1024 + 17, seed)},
                    {"tpro.boot", ImageBytes(96 * 1024 + 5, seed + 1)},
                    {"tpro_app.bin", ImageBytes(900 * 1024 + 123, seed + 2)}}};
}

bool Write(const std::string& path, const Package& package) {
    archive* a = archive_write_new();
    bool ok = archive_write_set_format_zip(a) == ARCHIVE_OK &&
              archive_write_open_filename(a, path.c_str()) == ARCHIVE_OK;
    for (const Member& m : package.members) {
        if (!ok) {
            break;
        }
        archive_entry* e = archive_entry_new();
        archive_entry_set_pathname(e, m.name.c_str());
        archive_entry_set_filetype(e, AE_IFREG);
        archive_entry_set_perm(e, 0644);
        archive_entry_set_size(e, static_cast<la_int64_t>(m.contents.size()));
        archive_entry_set_mtime(e, 1764460800, 0);  // a fixed date keeps the bytes repeatable
        ok = archive_write_header(a, e) == ARCHIVE_OK &&
             archive_write_data(a, m.contents.data(), m.contents.size()) ==
                 static_cast<la_ssize_t>(m.contents.size());
        archive_entry_free(e);
    }
    ok = archive_write_close(a) == ARCHIVE_OK && ok;
    archive_write_free(a);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY/\n", argv[0]);
        return 2;
    }
    std::string dir = argv[1];
    if (!dir.empty() && dir.back() != '/') {
        dir += '/';
    }
    const std::vector<Package> packages = {
        Pro("TPro_English_7.0.5.pcg", "English", "7.0.5", "2026-11-30", 11),
        Pro("TPro_Deutsch_7.0.5.pcg", "Deutsch", "7.0.5", "2026-11-30", 23),
        Pro("TPro_Suomi_7.0.4.pcg", "Suomi", "7.0.4", "2026-09-14", 37),
        Package{"Talvenmark_Mini_2.1.0.pcg",
                {{"package.inf", Descriptor("Talvenmark Mini software,upgrade package", "English",
                                            "2.1.0", "2026-10-02")},
                 {"mini_app.bin", ImageBytes(64 * 1024, 5)}}},
    };
    for (const Package& p : packages) {
        if (!Write(dir + p.file, p)) {
            std::fprintf(stderr, "cannot write %s%s\n", dir.c_str(), p.file.c_str());
            return 1;
        }
    }
    return 0;
}
