// Compression while a file is being written: a stream that writes to the
// file and hands the same bytes, through a pipe, to an LZHUF encoder on a
// second thread. The compressed bytes go to an unnamed temporary file, so
// that packing after the writing only has to copy them.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <cstdint>
#include <cstdio>

#include "archive/lzhuf_codec.h"

class ContainerFile;

class StreamingEncoder {
public:
    StreamingEncoder() = default;
    ~StreamingEncoder();
    StreamingEncoder(const StreamingEncoder&) = delete;
    StreamingEncoder& operator=(const StreamingEncoder&) = delete;

    // Takes over file and gives the stream to write instead: every byte
    // written to it lands in file and in the encoder. Closing the stream
    // closes file (its status is the stream's) and ends the encoder's
    // input. When the encoder cannot be started, file itself comes back and
    // nothing is compressed on the way.
    FILE* tee(FILE* file);
    bool started() const { return started_; }

    // After the stream was closed: waits for the encoder. True, with the
    // lengths, when it compressed every byte that was written.
    bool finish(CodecSizes* sizes);
    // The compressed bytes (after a successful finish).
    FILE* encoded() const { return encoded_; }
    // Gives back the compressed bytes' room on the disk once they are copied.
    void release_encoded();

    // Stream callbacks (fopencookie).
    static ssize_t write_both(void* self, const char* data, size_t size);
    static int close_both(void* self);

private:
    static void* encode_input(void* self);
    void end_input();

    FILE* file_ = nullptr;       // the file written
    int pipe_write_ = -1;        // the encoder's input, written end
    int pipe_read_ = -1;         // the encoder's input, read end
    FILE* encoded_ = nullptr;    // the encoder's output
    pthread_t thread_{};
    bool started_ = false;
    bool joined_ = false;
    bool input_broken_ = false;  // a byte did not reach the encoder
    uint64_t written_ = 0;       // bytes written to the stream
    int encode_status_ = -1;
    CodecSizes sizes_;
    LzhufCodec* codec_ = nullptr;
};

// Adds file_name to the container as item id, compressed: from the
// encoder's output when it finished with exactly the file's bytes, else by
// compressing the file as add_item does. Status as add_item's.
int add_streamed_item(ContainerFile& container, StreamingEncoder* encoder, int id, const char* file_name);
