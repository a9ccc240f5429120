// Chain states of MD5, SHA-1 and SHA-256 after every whole GiB of zero bytes.
//
// A digest of a stream that begins with N GiB of zeros passes, after those
// bytes, through a state that depends on N alone. volscan ships these states
// (report/zero_chain_*.inc) so that the digest of $BadClus:$Bad, as long as
// the volume, starts from the state for its largest whole GiB instead of
// hashing a terabyte of zeros.
//
// The table is one serial chain: entry k is entry k-1 followed by one more
// GiB of zeros. A run continues from the table's last entry and only adds to
// its end, so the table grows over several runs:
//
//   zerochain md5 report/zero_chain_md5.inc 4096     # up to 4 TiB
//   zerochain --check md5 report/zero_chain_md5.inc  # re-derive a random entry
//
// Each entry is written and flushed as soon as it is known: a killed run
// loses at most the GiB it was working on.
#define OPENSSL_SUPPRESS_DEPRECATED 1
#include <openssl/md5.h>
#include <openssl/sha.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr uint64_t kGiB = 1ull << 30;
constexpr size_t kBlock = 1u << 20;  // zeros handed to the update at a time
alignas(64) unsigned char g_zeros[kBlock];

struct Algorithm {
    const char* pName;
    int words;  // 32-bit words of chain state
    const char* pWordNames;
};

constexpr Algorithm kAlgorithms[] = {
    {"md5", 4, "A, B, C, D"},
    {"sha1", 5, "h0 to h4"},
    {"sha256", 8, "h0 to h7"},
};

using State = std::vector<uint32_t>;

// The state after one more GiB of zeros, from `state` after `gib` GiB.
State Advance(const Algorithm& alg, const State& state, uint64_t gib) {
    const uint64_t bits = gib * kGiB * 8;
    State next(alg.words);
    if (alg.words == 4) {
        MD5_CTX c;
        MD5_Init(&c);
        c.A = state[0]; c.B = state[1]; c.C = state[2]; c.D = state[3];
        c.Nl = static_cast<MD5_LONG>(bits); c.Nh = static_cast<MD5_LONG>(bits >> 32);
        for (uint64_t done = 0; done < kGiB; done += kBlock) MD5_Update(&c, g_zeros, kBlock);
        next = {c.A, c.B, c.C, c.D};
    } else if (alg.words == 5) {
        SHA_CTX c;
        SHA1_Init(&c);
        c.h0 = state[0]; c.h1 = state[1]; c.h2 = state[2]; c.h3 = state[3]; c.h4 = state[4];
        c.Nl = static_cast<SHA_LONG>(bits); c.Nh = static_cast<SHA_LONG>(bits >> 32);
        for (uint64_t done = 0; done < kGiB; done += kBlock) SHA1_Update(&c, g_zeros, kBlock);
        next = {c.h0, c.h1, c.h2, c.h3, c.h4};
    } else {
        SHA256_CTX c;
        SHA256_Init(&c);
        for (int i = 0; i < 8; i++) c.h[i] = state[i];
        c.Nl = static_cast<SHA_LONG>(bits); c.Nh = static_cast<SHA_LONG>(bits >> 32);
        for (uint64_t done = 0; done < kGiB; done += kBlock) SHA256_Update(&c, g_zeros, kBlock);
        for (int i = 0; i < 8; i++) next[i] = c.h[i];
    }
    return next;
}

State Initial(const Algorithm& alg) {
    if (alg.words == 4) {
        MD5_CTX c;
        MD5_Init(&c);
        return {c.A, c.B, c.C, c.D};
    }
    if (alg.words == 5) {
        SHA_CTX c;
        SHA1_Init(&c);
        return {c.h0, c.h1, c.h2, c.h3, c.h4};
    }
    SHA256_CTX c;
    SHA256_Init(&c);
    return State(c.h, c.h + 8);
}

// Entries of the table: one line each, "{0x...u, ...},  // k GiB".
std::vector<State> ReadTable(const Algorithm& alg, const char* pPath) {
    std::vector<State> table;
    FILE* pFile = std::fopen(pPath, "r");
    if (pFile == nullptr) return table;
    char line[512];
    while (std::fgets(line, sizeof line, pFile) != nullptr) {
        if (line[0] != '{') continue;
        State s;
        const char* p = line + 1;
        for (int i = 0; i < alg.words; i++) {
            char* pEnd = nullptr;
            unsigned long v = std::strtoul(p, &pEnd, 16);
            if (pEnd == p) break;
            s.push_back(static_cast<uint32_t>(v));
            p = pEnd;
            while (*p == 'u' || *p == ',' || *p == ' ') p++;
        }
        if (static_cast<int>(s.size()) != alg.words) {
            std::fprintf(stderr, "zerochain: %s: damaged entry %zu\n", pPath, table.size() + 1);
            std::exit(1);
        }
        table.push_back(s);
    }
    std::fclose(pFile);
    return table;
}

void WriteEntry(FILE* pFile, const State& s, uint64_t gib) {
    std::fputc('{', pFile);
    for (size_t i = 0; i < s.size(); i++)
        std::fprintf(pFile, "%s0x%08" PRIx32 "u", i == 0 ? "" : ", ", s[i]);
    std::fprintf(pFile, "},  // %" PRIu64 " GiB\n", gib);
    std::fflush(pFile);
}

int Usage() {
    std::fprintf(stderr,
                 "usage: zerochain md5|sha1|sha256 TABLE GIB   extend TABLE to GIB entries\n"
                 "       zerochain --check md5|sha1|sha256 TABLE [K]  re-derive entry K (random)\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    bool check = argc >= 2 && std::strcmp(argv[1], "--check") == 0;
    if (check) { argv++; argc--; }
    if (argc < 3) return Usage();
    const Algorithm* pAlg = nullptr;
    for (const Algorithm& a : kAlgorithms)
        if (std::strcmp(a.pName, argv[1]) == 0) pAlg = &a;
    if (pAlg == nullptr) return Usage();
    const char* pPath = argv[2];
    std::vector<State> table = ReadTable(*pAlg, pPath);

    if (check) {
        if (table.empty()) {
            std::fprintf(stderr, "zerochain: %s has no entries\n", pPath);
            return 1;
        }
        uint64_t k = argc >= 4 ? std::strtoull(argv[3], nullptr, 10)
                               : std::random_device{}() % table.size() + 1;
        if (k < 1 || k > table.size()) return Usage();
        State before = k == 1 ? Initial(*pAlg) : table[k - 2];
        bool same = Advance(*pAlg, before, k - 1) == table[k - 1];
        std::printf("%s entry %" PRIu64 " of %zu: %s\n", pAlg->pName, k, table.size(),
                    same ? "ok" : "DIFFERS");
        return same ? 0 : 1;
    }

    if (argc < 4) return Usage();
    uint64_t target = std::strtoull(argv[3], nullptr, 10);
    FILE* pFile = std::fopen(pPath, "a");
    if (pFile == nullptr) {
        std::perror(pPath);
        return 1;
    }
    if (table.empty())
        std::fprintf(pFile,
                     "// %s chain state (%s) after k GiB of zero bytes, k = 1, 2, ...\n"
                     "// Made by tools/zerochain.cpp; a run only adds to the end.\n",
                     pAlg->pName, pAlg->pWordNames);
    State s = table.empty() ? Initial(*pAlg) : table.back();
    for (uint64_t k = table.size() + 1; k <= target; k++) {
        s = Advance(*pAlg, s, k - 1);
        WriteEntry(pFile, s, k);
    }
    std::fclose(pFile);
    return 0;
}
