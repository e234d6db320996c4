#include "kdtool/sha256.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "report_fixture.h"

namespace {

std::string digest_of(const std::string& bytes, size_t piece) {
    sha256 d;
    for (size_t at = 0; at < bytes.size(); at += piece) d.update(bytes.data() + at, std::min(piece, bytes.size() - at));
    return d.hex_digest();
}

// The published test vectors, fed whole and in pieces of every awkward size
// around the 64-byte block and the 56-byte padding limit.
TEST(Sha256, KnownVectorsInAnyPieces) {
    struct vector_case {
        std::string message;
        const char* digest;
    };
    const vector_case cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
        {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
        {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
    };
    for (const vector_case& c : cases) {
        for (size_t piece : {size_t(1), size_t(3), size_t(55), size_t(63), size_t(64), size_t(65), size_t(1) << 20}) {
            if (c.message.size() > 4096 && piece < 55) continue;
            EXPECT_EQ(digest_of(c.message, piece), c.digest) << c.message.size() << " bytes in pieces of " << piece;
        }
    }
}

// verify names the file it was given by its digest, the same that
// sha256sum gives, also when the verdict is not OK.
TEST(Sha256, VerifyPrintsTheDigestOfTheFileAsGiven) {
    temp_dir dir;
    std::string report = write_report(dir, "r.xml", report_recipe{});
    const std::string box = dir.file("box.KD2");
    ASSERT_EQ(run_command(kdtool_pack, {box, report}).rc, 0);
    FILE* f = std::fopen(box.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    const std::string digest = sha256_of_stream(f);
    std::fclose(f);
    command_run run = run_command(kdtool_verify, {box});
    EXPECT_EQ(run.rc, 0) << run.err;
    EXPECT_EQ(run.out.rfind(box + ": SHA-256 " + digest + "\n", 0), 0u) << run.out;
    if (std::system("command -v sha256sum >/dev/null 2>&1") == 0) {
        std::string command = "sha256sum '" + box + "' > '" + dir.file("sum") + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
        EXPECT_EQ(read_file(dir.file("sum")).substr(0, 64), digest);
    }
    // A damaged container still gets its digest named.
    std::string bytes = read_file(box);
    bytes.resize(bytes.size() - 20);
    write_file(box, bytes);
    run = run_command(kdtool_verify, {box});
    EXPECT_EQ(run.rc, 1);
    EXPECT_NE(run.out.find(": SHA-256 "), std::string::npos) << run.out;
}

}  // namespace
