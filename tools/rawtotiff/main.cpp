// vantoro-rawtotiff RAW TIFF: converts a kept raw page file into a multi-page fax TIFF.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tiff/tiff_codes.h"
#include "tiff/tiff_writer.h"

namespace {

constexpr int kExitConverted = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

void PrintUsage(FILE* out) {
    std::fprintf(out,
                 "usage: vantoro-rawtotiff RAW TIFF\n"
                 "Converts a raw fax page file into a multi-page TIFF file. An existing TIFF\n"
                 "file is replaced only once the new one is complete. When a page cannot be\n"
                 "converted, the pages before it are written and the exit status is 1.\n");
}

int Refuse(const std::string& why) {
    std::fprintf(stderr, "vantoro-rawtotiff: %s\n", why.c_str());
    return kExitUsage;
}

std::string PageList(const std::vector<unsigned>& pages) {
    std::string list;
    for (unsigned page : pages) list += (list.empty() ? "" : ", ") + std::to_string(page);
    return list;
}

// An output that exists must be a regular file other than the input: a device, FIFO or link
// there is not ours to replace.
bool CheckOutput(const char* rawPath, const char* tiffPath, std::string& why) {
    struct stat out {};
    if (lstat(tiffPath, &out) != 0) {
        if (errno == ENOENT) return true;
        why = std::string("cannot use ") + tiffPath + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(out.st_mode)) {
        why = std::string(tiffPath) + " exists and is not a regular file; nothing written";
        return false;
    }
    struct stat in {};
    if (stat(rawPath, &in) == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino) {
        why = std::string(tiffPath) + " is the raw page file itself; nothing written";
        return false;
    }
    return true;
}

// A unique name beside the output, so that the final rename stays inside one file system.
std::string CreateTempBeside(const std::string& tiffPath) {
    const size_t slash = tiffPath.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : tiffPath.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? tiffPath : tiffPath.substr(slash + 1);
    std::string temp = folder + "." + name + ".XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) return "";
    close(fd);
    return temp;
}

std::string Cause(const CTiffWriter& writer) {
    return "stage " + std::to_string(writer.StageCode()) + ", detail " +
           std::to_string(writer.DetailCode()) + ": " + DescribeStageCode(writer.StageCode()) +
           "; " + DescribeDetailCode(writer.DetailCode());
}

void ReportFailure(const CTiffWriter& writer, const char* rawPath) {
    std::string where;
    if (writer.FailedPage() != 0) {
        where = " at page " + std::to_string(writer.FailedPage()) + " of " +
                std::to_string(writer.PagesInRawFile());
    } else if (writer.StageCode() == static_cast<uint32_t>(TiffStage::kNoImage)) {
        where = ": none of the " + std::to_string(writer.PagesInRawFile()) + " pages in " +
                rawPath + " has image rows";
    }
    std::fprintf(stderr, "vantoro-rawtotiff: conversion failed%s (%s); no file written\n",
                 where.c_str(), Cause(writer).c_str());
}

void ReportPagesKept(const CTiffWriter& writer, const char* tiffPath) {
    const std::string where = writer.FailedPage() != 0
                                  ? "page " + std::to_string(writer.FailedPage()) + " of " +
                                        std::to_string(writer.PagesInRawFile())
                                  : "the page after them";
    std::fprintf(stderr,
                 "vantoro-rawtotiff: %s cannot be converted (%s); %s holds the %u page(s) "
                 "converted before it\n",
                 where.c_str(), Cause(writer).c_str(), tiffPath, writer.PagesKept());
}

// Moves the finished temporary file into place; false (and nothing left) when it cannot.
bool PutInPlace(const std::string& temp, const char* tiffPath) {
    if (rename(temp.c_str(), tiffPath) == 0) return true;
    const int error = errno;
    unlink(temp.c_str());
    std::fprintf(stderr, "vantoro-rawtotiff: cannot write %s: %s\n", tiffPath,
                 std::strerror(error));
    return false;
}

void ReportSuccess(const CTiffWriter& writer) {
    if (!writer.PagesWithoutRows().empty()) {
        std::fprintf(stderr, "vantoro-rawtotiff: left out page(s) %s of %u: no image rows\n",
                     PageList(writer.PagesWithoutRows()).c_str(), writer.PagesInRawFile());
    }
    const std::vector<uint32_t>& repaired = writer.RepairedRows();
    for (size_t page = 0; page < repaired.size(); ++page) {
        if (repaired[page] == 0) continue;
        std::fprintf(stderr,
                     "vantoro-rawtotiff: page %zu: %u damaged rows replaced by the row above\n",
                     page + 1, repaired[page]);
    }
    const std::vector<bool>& cutShort = writer.CutShort();
    for (size_t page = 0; page < cutShort.size(); ++page) {
        if (!cutShort[page]) continue;
        std::fprintf(stderr,
                     "vantoro-rawtotiff: page %zu: %s data ended in a code error; the rows "
                     "before it are kept\n",
                     page + 1, toString(writer.Coding()));
    }
    if (writer.DetailCode() == static_cast<uint32_t>(TiffDetail::kIncompleteRtc)) {
        std::fprintf(stderr, "vantoro-rawtotiff: warning: detail %u: %s\n", writer.DetailCode(),
                     DescribeDetailCode(writer.DetailCode()));
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        PrintUsage(stdout);
        return kExitConverted;
    }
    if (argc != 3) {
        PrintUsage(stderr);
        return kExitUsage;
    }
    const char* rawPath = argv[1];
    const char* tiffPath = argv[2];
    std::string why;
    if (!CheckOutput(rawPath, tiffPath, why)) return Refuse(why);
    const std::string temp = CreateTempBeside(tiffPath);
    if (temp.empty()) {
        return Refuse(std::string("cannot create a file beside ") + tiffPath + ": " +
                      std::strerror(errno));
    }
    CTiffWriter writer;
    const bool converted = writer.Convert(rawPath, temp.c_str());
    // Pages that converted before a bad one are worth a file; an empty result is not.
    if (!converted && writer.PagesKept() == 0) {
        unlink(temp.c_str());
        ReportFailure(writer, rawPath);
        return kExitFailed;
    }
    if (!PutInPlace(temp, tiffPath)) return kExitFailed;
    if (!converted) {
        ReportPagesKept(writer, tiffPath);
        return kExitFailed;
    }
    ReportSuccess(writer);
    return kExitConverted;
}
