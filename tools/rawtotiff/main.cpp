// vantoro-rawtotiff RAW TIFF: converts a kept raw page file into a multi-page fax TIFF.
#include <cstdio>
#include <cstring>

#include "tiff/tiff_codes.h"
#include "tiff/tiff_writer.h"

namespace {

void PrintUsage(FILE* out) {
    std::fprintf(out,
                 "usage: vantoro-rawtotiff RAW TIFF\n"
                 "Converts a raw fax page file into a multi-page TIFF file (replaced if it "
                 "exists).\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        PrintUsage(stdout);
        return 0;
    }
    if (argc != 3) {
        PrintUsage(stderr);
        return 2;
    }
    CTiffWriter writer;
    if (writer.Convert(argv[1], argv[2])) {
        if (writer.DetailCode() == static_cast<uint32_t>(TiffDetail::kIncompleteRtc)) {
            std::fprintf(stderr, "vantoro-rawtotiff: warning: detail %u: %s\n", writer.DetailCode(),
                         DescribeDetailCode(writer.DetailCode()));
        }
        return 0;
    }
    std::fprintf(stderr, "vantoro-rawtotiff: conversion failed: stage %u, detail %u: %s; %s\n",
                 writer.StageCode(), writer.DetailCode(), DescribeStageCode(writer.StageCode()),
                 DescribeDetailCode(writer.DetailCode()));
    return 1;
}
