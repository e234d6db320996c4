// libFuzzer target: the first four bytes give the uncompressed length (cut to
// 64 KiB), the rest is the compressed stream. Decoding must give exactly that
// length and read nothing past the stream.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "archive/lzhuf_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    CodecSizes sizes;
    sizes.uncompressed = (data[0] | data[1] << 8 | data[2] << 16 | static_cast<uint32_t>(data[3]) << 24) % (1u << 16);
    sizes.compressed = static_cast<uint32_t>(size - 4);
    if (sizes.uncompressed == sizes.compressed) return 0;

    // Two bytes after the stream that the decoder must never take in.
    std::unique_ptr<uint8_t[]> stream(new uint8_t[size - 4 + 2]);
    for (size_t i = 0; i < size - 4; ++i) stream[i] = data[4 + i];
    stream[size - 4] = stream[size - 3] = 0xA5;
    FILE* in = fmemopen(stream.get(), size - 4 + 2, "rb");
    char* out_data = nullptr;
    size_t out_size = 0;
    FILE* out = open_memstream(&out_data, &out_size);
    if (!in || !out) std::abort();

    auto codec = std::make_unique<LzhufCodec>();
    int rc = codec->decode(in, out, &sizes);
    long consumed = std::ftell(in);
    std::fclose(out);
    std::fclose(in);
    std::free(out_data);
    if (rc != 0 || out_size != sizes.uncompressed || consumed > static_cast<long>(sizes.compressed)) std::abort();
    return 0;
}
