// Conversion throughput of CTiffWriter against `tiffcp -c g3` on the same fax pages.
// Usage: bench_rawtotiff [ROUNDS]. Prints megabytes of coded page data per second and ratios.
#include <tiffio.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "fax/raw_page_file.h"
#include "fax/t30_dis_dcs_bits.h"
#include "tiff/tiff_writer.h"

namespace {

constexpr int kWidth = 1728;
constexpr int kRowBytes = kWidth / 8;
using Bitmap = std::vector<std::vector<uint8_t>>;

// A mix of what faxes hold: typed text, a dithered picture and scanner noise.
std::vector<Bitmap> Pages() {
    std::vector<Bitmap> pages;
    std::mt19937 rng(1);
    Bitmap text(2200, std::vector<uint8_t>(kRowBytes, 0));
    for (int y = 40; y + 16 < 2200; y += 28) {
        for (int x = 20; x < kRowBytes - 20; ++x) {
            if (rng() % 5 == 0) continue;
            for (int dy = 0; dy < 16; ++dy) text[y + dy][x] = static_cast<uint8_t>(rng() & rng());
        }
    }
    pages.push_back(text);
    Bitmap halftone(1100, std::vector<uint8_t>(kRowBytes, 0));
    for (int y = 0; y < 1100; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            if ((x * 16 / kWidth) > ((x % 4) * 4 + (y % 4) * 5) % 16) {
                halftone[y][x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
            }
        }
    }
    pages.push_back(halftone);
    Bitmap noise(600, std::vector<uint8_t>(kRowBytes, 0));
    for (auto& row : noise) {
        for (auto& byte : row) byte = static_cast<uint8_t>(rng());
    }
    pages.push_back(noise);
    return pages;
}

// The pages coded by libtiff in 1-D T.4, 2-D T.4 or T.6.
enum class Coding { kMh, kMr, kMmr };

bool WriteG3Tiff(const std::string& path, const std::vector<Bitmap>& pages,
                 Coding coding = Coding::kMh) {
    TIFF* out = TIFFOpen(path.c_str(), "w");
    if (!out) return false;
    for (size_t p = 0; p < pages.size(); ++p) {
        TIFFSetField(out, TIFFTAG_IMAGEWIDTH, kWidth);
        TIFFSetField(out, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(pages[p].size()));
        TIFFSetField(out, TIFFTAG_BITSPERSAMPLE, 1);
        TIFFSetField(out, TIFFTAG_SAMPLESPERPIXEL, 1);
        if (coding == Coding::kMmr) {
            TIFFSetField(out, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
        } else {
            TIFFSetField(out, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX3);
            TIFFSetField(out, TIFFTAG_GROUP3OPTIONS,
                         coding == Coding::kMr ? GROUP3OPT_2DENCODING : 0);
        }
        TIFFSetField(out, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
        TIFFSetField(out, TIFFTAG_FILLORDER, FILLORDER_MSB2LSB);
        TIFFSetField(out, TIFFTAG_ROWSPERSTRIP, static_cast<uint32_t>(pages[p].size()));
        TIFFSetField(out, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        for (size_t y = 0; y < pages[p].size(); ++y) {
            std::vector<uint8_t> row = pages[p][y];
            TIFFWriteScanline(out, row.data(), static_cast<uint32_t>(y), 0);
        }
        TIFFWriteDirectory(out);
    }
    TIFFClose(out);
    return true;
}

// The raw page file the fax session would have written for the pages of `g3Path`.
bool WriteRawFile(const std::string& g3Path, const std::string& rawPath, size_t& dataBytes,
                  Coding coding = Coding::kMh) {
    TIFF* in = TIFFOpen(g3Path.c_str(), "r");
    if (!in) return false;
    // DCS bits 16 (2-D coding), 24 (extend) and 31 (T.6 coding), in written order.
    uint8_t dcs[4] = {};
    if (coding == Coding::kMr) t30_bits::Set(dcs, t30_bits::kTwoDimensional);
    if (coding == Coding::kMmr) {
        t30_bits::Set(dcs, t30_bits::kExtendTo32);
        t30_bits::Set(dcs, t30_bits::kT6);
    }
    CRawPageWriter raw;
    bool written = raw.Create(rawPath);
    raw.SetDcs(dcs, sizeof dcs);
    written = written && raw.WriteHeader();
    do {
        std::vector<uint8_t> strip(static_cast<size_t>(TIFFRawStripSize(in, 0)));
        TIFFReadRawStrip(in, 0, strip.data(), static_cast<tmsize_t>(strip.size()));
        const uint8_t fill = 0x50;
        const uint8_t rtc[9] = {0x00, 0x10, 0x01, 0x00, 0x10, 0x01, 0x00, 0x10, 0x01};
        // Six EOLs, each followed by the tag bit 1; T.6 data end in their own EOFB.
        const uint8_t rtcMr[12] = {0, 3, 0, 3, 0, 3, 0, 3, 0, 3, 0, 3};
        written = written && raw.BeginPage() &&
                  (coding != Coding::kMh || raw.AppendData(&fill, 1)) &&
                  raw.AppendData(strip.data(), strip.size()) &&
                  (coding != Coding::kMh || raw.AppendData(rtc, sizeof rtc)) &&
                  (coding != Coding::kMr || raw.AppendData(rtcMr, sizeof rtcMr)) && raw.EndPage();
    } while (TIFFReadDirectory(in));
    TIFFClose(in);
    dataBytes = raw.DataBytes();
    return written;
}

template <typename F>
double SecondsPerRound(int rounds, F&& run) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; ++i) {
        if (!run()) return -1;
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    return elapsed.count() / rounds;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    char folder[] = "/tmp/vantoro-bench-XXXXXX";
    if (!mkdtemp(folder)) return 1;
    const std::string dir = folder;
    const std::string g3 = dir + "/pages-g3.tif", raw = dir + "/pages.raw";
    const std::string outWriter = dir + "/writer.tif", outTiffcp = dir + "/tiffcp.tif";
    size_t dataBytes = 0;
    if (!WriteG3Tiff(g3, Pages()) || !WriteRawFile(g3, raw, dataBytes)) {
        std::fprintf(stderr, "bench_rawtotiff: cannot prepare the pages in %s\n", folder);
        return 1;
    }

    auto convert = [&](ReframeMethod method) {
        CTiffWriter writer;
        writer.SetReframeMethod(method);
        return writer.Convert(raw.c_str(), outWriter.c_str());
    };
    const double bitByBit =
        SecondsPerRound(rounds, [&] { return convert(ReframeMethod::kBitByBit); });
    const double runLength =
        SecondsPerRound(rounds, [&] { return convert(ReframeMethod::kRunLength); });
    // The same pages as the sender coded them in 2-D and T.6, stored as 1-D.
    double twoDim[2] = {0, 0};
    size_t twoDimBytes[2] = {0, 0};
    for (int i = 0; i < 2; ++i) {
        const Coding coding = i == 0 ? Coding::kMr : Coding::kMmr;
        const std::string coded = dir + "/pages-2d.tif", codedRaw = dir + "/pages-2d.raw";
        if (!WriteG3Tiff(coded, Pages(), coding) ||
            !WriteRawFile(coded, codedRaw, twoDimBytes[i], coding)) {
            return 1;
        }
        twoDim[i] = SecondsPerRound(rounds, [&] {
            CTiffWriter writer;
            return writer.Convert(codedRaw.c_str(), outWriter.c_str()) &&
                   writer.RepairedRows() == std::vector<uint32_t>{0, 0, 0};
        });
    }
    const std::string command = "tiffcp -c g3 '" + g3 + "' '" + outTiffcp + "'";
    const double tiffcp =
        SecondsPerRound(rounds, [&] { return std::system(command.c_str()) == 0; });
    std::system(("rm -rf '" + dir + "'").c_str());
    if (bitByBit <= 0 || runLength <= 0 || tiffcp <= 0 || twoDim[0] <= 0 || twoDim[1] <= 0) {
        std::fprintf(stderr, "bench_rawtotiff: a conversion failed\n");
        return 1;
    }

    const double mb = static_cast<double>(dataBytes) / 1e6;
    std::printf("pages: 3, coded data: %.2f MB, rounds: %d\n", mb, rounds);
    std::printf("CTiffWriter run-length : %8.1f MB/s\n", mb / runLength);
    std::printf("CTiffWriter bit-by-bit : %8.1f MB/s\n", mb / bitByBit);
    std::printf("tiffcp -c g3           : %8.1f MB/s\n", mb / tiffcp);
    std::printf("ratio run-length / tiffcp     : %.2f\n", tiffcp / runLength);
    std::printf("ratio bit-by-bit / tiffcp     : %.2f\n", tiffcp / bitByBit);
    std::printf("ratio run-length / bit-by-bit : %.2f\n", bitByBit / runLength);
    std::printf("MR  pages (%.2f MB coded)    : %8.1f MB/s, time ratio MR / MH  : %.2f\n",
                twoDimBytes[0] / 1e6, twoDimBytes[0] / 1e6 / twoDim[0], twoDim[0] / runLength);
    std::printf("MMR pages (%.2f MB coded)    : %8.1f MB/s, time ratio MMR / MH : %.2f\n",
                twoDimBytes[1] / 1e6, twoDimBytes[1] / 1e6 / twoDim[1], twoDim[1] / runLength);
    return 0;
}
