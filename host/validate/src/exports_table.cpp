// exports_table.cpp - minimal readers of the ELF dynamic symbol table and
// of the PE export directory.
#include "exports_table.h"

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>

namespace sevalidate {
namespace {

struct Bytes {
    std::vector<unsigned char> d;
    bool ok(uint64_t off, uint64_t n) const { return off <= d.size() && n <= d.size() - off; }
    uint64_t u(uint64_t off, int n) const
    { // little-endian
        uint64_t v = 0;
        for (int i = n - 1; i >= 0; --i)
            v = v << 8 | d[off + static_cast<uint64_t>(i)];
        return v;
    }
    std::string str(uint64_t off) const
    {
        std::string s;
        while (off < d.size() && d[off] && s.size() < 4096)
            s += static_cast<char>(d[off++]);
        return s;
    }
};

bool read_elf(const Bytes &b, std::vector<std::string> &names, std::string &error)
{
    const bool is64 = b.d[4] == 2;
    if (b.d[5] != 1) {
        error = "not a little-endian ELF file";
        return false;
    }
    const int w = is64 ? 8 : 4;
    const uint64_t shoff = is64 ? b.u(0x28, 8) : b.u(0x20, 4);
    const uint64_t shentsize = b.u(is64 ? 0x3A : 0x2E, 2);
    const uint64_t shnum = b.u(is64 ? 0x3C : 0x30, 2);
    if (!b.ok(shoff, shentsize * shnum)) {
        error = "section table outside the file";
        return false;
    }
    auto sh = [&](uint64_t i, int field) -> uint64_t {
        // fields: 0 type, 1 offset, 2 size, 3 link, 4 entsize
        uint64_t base = shoff + i * shentsize;
        switch (field) {
        case 0:
            return b.u(base + 4, 4);
        case 1:
            return b.u(base + (is64 ? 0x18 : 0x10), w);
        case 2:
            return b.u(base + (is64 ? 0x20 : 0x14), w);
        case 3:
            return b.u(base + (is64 ? 0x28 : 0x18), 4);
        default:
            return b.u(base + (is64 ? 0x38 : 0x24), w);
        }
    };
    for (uint64_t i = 0; i < shnum; ++i) {
        if (sh(i, 0) != 11) // SHT_DYNSYM
            continue;
        uint64_t off = sh(i, 1), size = sh(i, 2), ent = sh(i, 4), link = sh(i, 3);
        if (ent == 0 || link >= shnum || !b.ok(off, size)) {
            error = "malformed dynamic symbol table";
            return false;
        }
        uint64_t stroff = sh(link, 1);
        for (uint64_t k = 1; k < size / ent; ++k) {
            uint64_t s = off + k * ent;
            uint64_t name = b.u(s, 4);
            unsigned info = is64 ? b.d[s + 4] : b.d[s + 12];
            uint64_t shndx = is64 ? b.u(s + 6, 2) : b.u(s + 14, 2);
            unsigned bind = info >> 4, type = info & 15;
            if (shndx == 0 || shndx == 0xFFF1 || (bind != 1 && bind != 2) || type == 3 || type == 4)
                continue; // undefined, absolute (version names), local, section, file
            names.push_back(b.str(stroff + name));
        }
        return true;
    }
    error = "no dynamic symbol table";
    return false;
}

bool read_pe(const Bytes &b, std::vector<std::string> &names, std::string &error)
{
    uint64_t pe = b.u(0x3C, 4);
    if (!b.ok(pe, 24) || b.u(pe, 4) != 0x4550) {
        error = "no PE signature";
        return false;
    }
    uint64_t nsec = b.u(pe + 6, 2), optsize = b.u(pe + 20, 2), opt = pe + 24;
    if (!b.ok(opt, optsize)) {
        error = "optional header outside the file";
        return false;
    }
    uint64_t magic = b.u(opt, 2);
    uint64_t dirs = opt + (magic == 0x20B ? 112 : 96);
    uint64_t rva = b.u(dirs, 4);
    if (rva == 0)
        return true; // exports nothing
    uint64_t sections = opt + optsize;
    auto to_offset = [&](uint64_t r) -> uint64_t {
        for (uint64_t i = 0; i < nsec; ++i) {
            uint64_t s = sections + i * 40;
            if (!b.ok(s, 40))
                break;
            uint64_t va = b.u(s + 12, 4), vsize = b.u(s + 8, 4), raw = b.u(s + 20, 4),
                     rawsize = b.u(s + 16, 4);
            uint64_t span = vsize > rawsize ? vsize : rawsize;
            if (r >= va && r < va + span)
                return r - va + raw;
        }
        return UINT64_MAX;
    };
    uint64_t dir = to_offset(rva);
    if (dir == UINT64_MAX || !b.ok(dir, 40)) {
        error = "export directory outside the file";
        return false;
    }
    uint64_t count = b.u(dir + 24, 4), table = to_offset(b.u(dir + 32, 4));
    if (table == UINT64_MAX || !b.ok(table, count * 4)) {
        error = "export name table outside the file";
        return false;
    }
    for (uint64_t i = 0; i < count; ++i) {
        uint64_t at = to_offset(b.u(table + i * 4, 4));
        if (at == UINT64_MAX) {
            error = "export name outside the file";
            return false;
        }
        names.push_back(b.str(at));
    }
    return true;
}

} // namespace

bool read_exports(const std::string &path, std::vector<std::string> &names, std::string &error)
{
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        error = "cannot read " + path;
        return false;
    }
    Bytes b;
    b.d.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    if (b.d.size() >= 64 && std::memcmp(b.d.data(),
                                        "\x7F"
                                        "ELF",
                                        4) == 0)
        return read_elf(b, names, error);
    if (b.d.size() >= 64 && b.d[0] == 'M' && b.d[1] == 'Z')
        return read_pe(b, names, error);
    error = "neither an ELF nor a PE file";
    return false;
}

} // namespace sevalidate
