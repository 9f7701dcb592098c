// bzip2 bound at run time: without libbz2 the bz2 format is neither offered nor accepted.
#pragma once

#include <bzlib.h> // for bz_stream only; the functions are bound at run time

namespace kv::platform {

/// The entry points of libbz2 that the archive code uses.
struct Bzip2Api {
    int (*compressInit)(bz_stream* strm, int blockSize100k, int verbosity, int workFactor);
    int (*compress)(bz_stream* strm, int action);
    int (*compressEnd)(bz_stream* strm);
    int (*decompressInit)(bz_stream* strm, int verbosity, int small);
    int (*decompress)(bz_stream* strm);
    int (*decompressEnd)(bz_stream* strm);
    int (*buffToBuffCompress)(char* dest, unsigned int* destLen, char* source,
                              unsigned int sourceLen, int blockSize100k, int verbosity,
                              int workFactor);
    int (*buffToBuffDecompress)(char* dest, unsigned int* destLen, char* source,
                                unsigned int sourceLen, int small, int verbosity);
};

/// libbz2 loaded once ("libbz2.so.1.0", then "libbz2.so.1"); null when it is not installed.
const Bzip2Api* bzip2Api();

} // namespace kv::platform
