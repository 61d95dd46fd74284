// make-input: the benchmark inputs, the same bytes on every machine.
//
//   make-input file KIND BYTES SEED OUT   one file; KIND is text, map, wav or noise
//   make-input lzh DIR                    the members of the LZH archive (~108 MB)
//   make-input patch DIR                  a patch tree: ~50 MB in ~1,000 files
//   make-input game DIR                   the installed game's pack tree (1.0.2.29)
//   make-input flat DIR COUNT SEED        COUNT small files in one directory
//   make-input fill DIR FILES BLOCKS      FILES names for one file of BLOCKS
//                                         whole blocks (hard links to it)
//
// Content comes from a seeded generator. Its kinds stand for what a game
// patch carries: text (scripts, tables, documents: long matches), map
// (records of small numbers: matches and literals), wav (16-bit sound: mostly
// literals) and noise (packed data that does not compress).
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Random {
    std::uint64_t state;
    explicit Random(std::uint64_t seed) : state(seed * 0x9E3779B97F4A7C15ull + 0x2545F4914F6CDD1Dull) { Next(); }
    std::uint64_t Next()
    {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return state * 0x2545F4914F6CDD1Dull;
    }
    // 0 .. n - 1
    std::uint32_t Below(std::uint32_t n) { return static_cast<std::uint32_t>((Next() >> 32) % n); }
    double Unit() { return static_cast<double>(Next() >> 11) / 9007199254740992.0; }
};

using Bytes = std::vector<std::uint8_t>;

void Put(Bytes& out, const char* text) { out.insert(out.end(), text, text + std::strlen(text)); }

// Words made of syllables, drawn with a skewed (Zipf-like) frequency.
Bytes MakeText(std::size_t size, std::uint64_t seed)
{
    static const char* const syllables[] = {"ka",  "ri", "vo",  "na", "tel", "dor", "mi",  "an", "est", "ro",
                                            "qua", "ne", "lis", "or", "um",  "ba",  "the", "in", "gar", "sol",
                                            "pe",  "ul", "ma",  "ty", "ver", "ash", "ion", "ke", "do",  "ra"};
    constexpr int kSyllables = sizeof syllables / sizeof syllables[0];
    Random vocabularyRandom(7);
    std::vector<std::string> words(3000);
    for (std::string& word : words) {
        const int n = 1 + static_cast<int>(vocabularyRandom.Below(4));
        for (int i = 0; i < n; ++i) word += syllables[vocabularyRandom.Below(kSyllables)];
    }
    Random random(seed);
    Bytes out;
    out.reserve(size + 256);
    std::size_t lineStart = 0;
    bool sentenceStart = true;
    while (out.size() < size) {
        if (random.Below(40) == 0) {
            // A table or script line now and then.
            char line[128];
            std::snprintf(line, sizeof line, "%s_%s = %u, %u, %u\r\n", words[random.Below(200)].c_str(),
                          words[random.Below(50)].c_str(), random.Below(1000), random.Below(100), random.Below(10));
            Put(out, line);
            lineStart = out.size();
            sentenceStart = true;
            continue;
        }
        // Skewed toward the first words: the square of a uniform number.
        const double u = random.Unit();
        const std::string& word = words[static_cast<std::size_t>(u * u * u * static_cast<double>(words.size()))];
        std::string w = word;
        if (sentenceStart) w[0] = static_cast<char>(w[0] - 32);
        sentenceStart = false;
        Put(out, w.c_str());
        const std::uint32_t mark = random.Below(16);
        if (mark == 0) {
            Put(out, ".");
            sentenceStart = true;
        } else if (mark == 1) {
            Put(out, ",");
        }
        if (out.size() - lineStart > 64) {
            Put(out, "\r\n");
            lineStart = out.size();
        } else {
            Put(out, " ");
        }
    }
    out.resize(size);
    return out;
}

// Records of a tile map: terrain in runs, heights that change slowly, object
// ids from a small set, positions on a grid.
Bytes MakeMap(std::size_t size, std::uint64_t seed)
{
    Random random(seed);
    Bytes out;
    out.reserve(size + 32);
    Put(out, "KMAP");
    std::uint16_t terrain = 1;
    std::int32_t height = 100;
    std::uint32_t index = 0;
    while (out.size() < size) {
        if (random.Below(12) == 0) terrain = static_cast<std::uint16_t>(random.Below(24));
        height += static_cast<std::int32_t>(random.Below(5)) - 2;
        const std::uint16_t object = random.Below(5) == 0 ? static_cast<std::uint16_t>(random.Below(300)) : 0;
        const std::uint32_t x = index % 512;
        const std::uint32_t y = index / 512;
        const std::uint8_t record[16] = {static_cast<std::uint8_t>(terrain),
                                         static_cast<std::uint8_t>(terrain >> 8),
                                         static_cast<std::uint8_t>(height),
                                         static_cast<std::uint8_t>(height >> 8),
                                         static_cast<std::uint8_t>(object),
                                         static_cast<std::uint8_t>(object >> 8),
                                         static_cast<std::uint8_t>(random.Below(4)),
                                         0,
                                         static_cast<std::uint8_t>(x),
                                         static_cast<std::uint8_t>(x >> 8),
                                         0,
                                         0,
                                         static_cast<std::uint8_t>(y),
                                         static_cast<std::uint8_t>(y >> 8),
                                         0,
                                         0};
        out.insert(out.end(), record, record + sizeof record);
        ++index;
    }
    out.resize(size);
    return out;
}

// 16-bit mono sound: a few tones that drift, and some hiss.
Bytes MakeWav(std::size_t size, std::uint64_t seed)
{
    Random random(seed);
    Bytes out;
    out.reserve(size + 2);
    Put(out, "RIFF....WAVEfmt ");
    double phase[3] = {0, 0, 0};
    double step[3] = {0.01 + random.Unit() * 0.05, 0.002 + random.Unit() * 0.01, 0.05 + random.Unit() * 0.1};
    double level = 4000;
    for (std::size_t i = 0; out.size() < size; ++i) {
        if (i % 4096 == 0) {
            for (double& s : step) s *= 0.9 + random.Unit() * 0.2;
            level = 1000 + random.Unit() * 6000;
        }
        double v = 0;
        for (int k = 0; k < 3; ++k) {
            phase[k] += step[k];
            v += std::sin(phase[k]) * level / (k + 1);
        }
        v += (random.Unit() - 0.5) * 200;
        const auto sample = static_cast<std::int16_t>(v);
        out.push_back(static_cast<std::uint8_t>(sample));
        out.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(sample) >> 8));
    }
    out.resize(size);
    return out;
}

Bytes MakeNoise(std::size_t size, std::uint64_t seed)
{
    Random random(seed);
    Bytes out(size);
    for (std::size_t i = 0; i < size; i += 8) {
        const std::uint64_t v = random.Next();
        for (std::size_t k = 0; k < 8 && i + k < size; ++k) out[i + k] = static_cast<std::uint8_t>(v >> (8 * k));
    }
    return out;
}

Bytes Make(const std::string& kind, std::size_t size, std::uint64_t seed)
{
    if (kind == "text") return MakeText(size, seed);
    if (kind == "map") return MakeMap(size, seed);
    if (kind == "wav") return MakeWav(size, seed);
    if (kind == "noise") return MakeNoise(size, seed);
    std::fprintf(stderr, "make-input: no kind %s\n", kind.c_str());
    std::exit(2);
}

void Write(const fs::path& path, const Bytes& bytes)
{
    fs::create_directories(path.parent_path());
    std::FILE* f = std::fopen(path.string().c_str(), "wb");
    if (!f || (!bytes.empty() && std::fwrite(bytes.data(), bytes.size(), 1, f) != 1) || std::fclose(f) != 0) {
        std::fprintf(stderr, "make-input: cannot write %s\n", path.string().c_str());
        std::exit(1);
    }
}

void WriteText(const fs::path& path, const char* text) { Write(path, Bytes(text, text + std::strlen(text))); }

const char* KindOf(const std::string& extension)
{
    if (extension == ".map") return "map";
    if (extension == ".wav") return "wav";
    if (extension == ".dat" || extension == ".dll" || extension == ".tex") return "noise";
    return "text";
}

// The archive's members, side by side: 40 MB of text, 30 MB of map records,
// 28 MB of sound and 10 MB that does not compress, in files of 5 to 7 MB.
void MakeLzhMembers(const fs::path& dir)
{
    struct Group {
        const char* stem;
        const char* extension;
        int count;
        std::size_t megabytes;
    };
    const Group groups[] = {
        {"quest", ".txt", 8, 5}, {"field", ".map", 5, 6}, {"theme", ".wav", 4, 7}, {"packed", ".dat", 2, 5}};
    std::uint64_t seed = 100;
    for (const Group& g : groups) {
        for (int i = 0; i < g.count; ++i) {
            char name[64];
            std::snprintf(name, sizeof name, "%s%02d%s", g.stem, i + 1, g.extension);
            Write(dir / name,
                  Make(KindOf(g.extension), g.megabytes * 1024 * 1024 + 1000 * static_cast<std::size_t>(i), ++seed));
        }
    }
}

// A file size drawn log-uniformly from 1 KB to 2 MB.
std::size_t PatchFileSize(Random& random) { return static_cast<std::size_t>(1024.0 * std::pow(2048.0, random.Unit())); }

// The patch: version files and ReadMe at the top, ~900 files in nested
// folders of Kivra_Pak, ~100 more for the disk (Bin, Movie, Data).
void MakePatch(const fs::path& dir)
{
    WriteText(dir / "NeedVersion.txt", "1.0.2.29");
    WriteText(dir / "ReadMe.txt", "Kivra 1.0.2.30\r\nNew fields, quests and sounds.\r\n");
    WriteText(dir / "Kivra_Pak/Version.txt", "1.0.2.30\r\n");
    Random random(30);
    struct Folder {
        const char* path;
        const char* extension;
        int files;
    };
    const Folder folders[] = {
        {"Kivra_Pak/Map/Field", ".map", 120},
        {"Kivra_Pak/Map/Dungeon", ".map", 80},
        {"Kivra_Pak/Map/Town/Inner", ".map", 40},
        {"Kivra_Pak/Sound/Effect", ".wav", 150},
        {"Kivra_Pak/Sound/Music", ".wav", 30},
        {"Kivra_Pak/Texture/Char", ".tex", 140},
        {"Kivra_Pak/Texture/Item", ".tex", 120},
        {"Kivra_Pak/Script/Quest", ".txt", 110},
        {"Kivra_Pak/Script/Npc", ".txt", 80},
        {"Kivra_Pak/Table", ".txt", 30},
        {"Bin", ".dll", 20},
        {"Data/Font", ".dat", 20},
        {"Data/Locale/Kor", ".txt", 30},
        {"Movie", ".dat", 10},
    };
    std::uint64_t seed = 1000;
    std::size_t total = 0;
    for (const Folder& f : folders) {
        for (int i = 0; i < f.files; ++i) {
            char name[64];
            std::snprintf(name, sizeof name, "%s/%c%04d%s", f.path, 'a' + static_cast<char>(i % 26), i, f.extension);
            const std::size_t size = PatchFileSize(random) * 3 / 16;
            total += size;
            Write(dir / name, Make(KindOf(f.extension), size, ++seed));
        }
    }
    std::printf("%zu bytes\n", total);
}

// The installed game: version 1.0.2.29, and older copies of some of the
// patch's files (a patch replaces them), plus files it leaves alone.
void MakeGame(const fs::path& dir)
{
    WriteText(dir / "Kivra_Pak/Version.txt", "1.0.2.29");
    Random random(40);
    std::uint64_t seed = 5000;
    for (int i = 0; i < 120; i += 2) {
        char name[64];
        std::snprintf(name, sizeof name, "Kivra_Pak/Map/Field/%c%04d.map", 'a' + static_cast<char>(i % 26), i);
        Write(dir / name, Make("map", PatchFileSize(random) / 4, ++seed));
    }
    for (int i = 0; i < 150; i += 3) {
        char name[64];
        std::snprintf(name, sizeof name, "Kivra_Pak/Sound/Effect/%c%04d.wav", 'a' + static_cast<char>(i % 26), i);
        Write(dir / name, Make("wav", PatchFileSize(random) / 4, ++seed));
    }
    for (int i = 0; i < 200; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "Kivra_Pak/Old/Model/m%04d.mdl", i);
        Write(dir / name, Make("map", PatchFileSize(random) / 8, ++seed));
    }
}

void MakeFlat(const fs::path& dir, int count, std::uint64_t seed)
{
    Random random(seed);
    for (int i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "item%05d.txt", i);
        Write(dir / name, Make("text", 200 + random.Below(3800), seed * 100000 + static_cast<std::uint64_t>(i)));
    }
}

void MakeFill(const fs::path& dir, int files, int blocks)
{
    const fs::path first = dir / "d00/f0000.bin";
    Write(first, Make("noise", static_cast<std::size_t>(blocks) * 2048, 77));
    for (int i = 1; i < files; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "d%02d/f%04d.bin", i / 100, i);
        fs::create_directories((dir / name).parent_path());
        fs::create_hard_link(first, dir / name);
    }
}

int Usage()
{
    std::fputs(
        "usage: make-input file KIND BYTES SEED OUT | lzh DIR | patch DIR | game DIR |\n"
        "                  flat DIR COUNT SEED | fill DIR FILES BLOCKS\n",
        stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) return Usage();
    const std::string verb = argv[1];
    if (verb == "file" && argc == 6) {
        Write(argv[5], Make(argv[2], std::strtoull(argv[3], nullptr, 10), std::strtoull(argv[4], nullptr, 10)));
    } else if (verb == "lzh" && argc == 3) {
        MakeLzhMembers(argv[2]);
    } else if (verb == "patch" && argc == 3) {
        MakePatch(argv[2]);
    } else if (verb == "game" && argc == 3) {
        MakeGame(argv[2]);
    } else if (verb == "flat" && argc == 5) {
        fs::create_directories(argv[2]);
        MakeFlat(argv[2], std::atoi(argv[3]), std::strtoull(argv[4], nullptr, 10));
    } else if (verb == "fill" && argc == 5) {
        MakeFill(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
    } else {
        return Usage();
    }
    return 0;
}
