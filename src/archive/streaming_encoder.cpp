#include "archive/streaming_encoder.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "archive/container_file.h"
#include "base/fresh_file.h"

namespace {

constexpr size_t stream_buffer = 65536;
constexpr int pipe_capacity = 1 << 20;

// Writes all of data to fd; false on an error.
bool write_all(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t put = write(fd, data, size);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        data += put;
        size -= static_cast<size_t>(put);
    }
    return true;
}

// An unnamed file in the current folder, readable by nobody else: nothing
// can be planted under a name it does not have, and nothing is left behind.
// Where the file system has no unnamed files, a fresh name is made and
// removed at once.
FILE* unnamed_file() {
    int fd = open(".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) {
        FILE* f = fdopen(fd, "w+b");
        if (!f) close(fd);
        return f;
    }
    char name[64];
    std::snprintf(name, sizeof name, "keldr%x-%lx.enc", static_cast<unsigned>(getpid()),
                  static_cast<unsigned long>(std::time(nullptr)));
    FILE* f = fopen_fresh(name, "w+b", 0600);
    if (f) unlink(name);
    return f;
}

}  // namespace

StreamingEncoder::~StreamingEncoder() {
    end_input();
    if (started_ && !joined_) pthread_join(thread_, nullptr);
    if (pipe_read_ >= 0) close(pipe_read_);
    if (encoded_) std::fclose(encoded_);
    delete codec_;
}

void StreamingEncoder::end_input() {
    if (pipe_write_ >= 0) close(pipe_write_);
    pipe_write_ = -1;
}

void* StreamingEncoder::encode_input(void* self) {
    auto* encoder = static_cast<StreamingEncoder*>(self);
    encoder->encode_status_ =
        encoder->codec_->encode_descriptor(encoder->pipe_read_, encoder->encoded_, &encoder->sizes_);
    if (encoder->encode_status_ == 0 && std::fflush(encoder->encoded_) != 0) encoder->encode_status_ = -3;
    // Whatever comes after an early end is read and dropped, so that the
    // writer never waits on a full pipe.
    char sink[4096];
    ssize_t got;
    while ((got = read(encoder->pipe_read_, sink, sizeof sink)) > 0 || (got < 0 && errno == EINTR)) {
    }
    return nullptr;
}

FILE* StreamingEncoder::tee(FILE* file) {
    if (!file || started_) return file;
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return file;
    // A roomy pipe lets the writer run ahead of the encoder instead of
    // waiting for it.
    fcntl(ends[1], F_SETPIPE_SZ, pipe_capacity);
    pipe_read_ = ends[0];
    encoded_ = unnamed_file();
    codec_ = new LzhufCodec;
    cookie_io_functions_t functions{};
    functions.write = write_both;
    functions.close = close_both;
    FILE* stream = encoded_ ? fopencookie(this, "wb", functions) : nullptr;
    if (!stream) {
        close(ends[1]);
        return file;
    }
    pipe_write_ = ends[1];
    std::setvbuf(stream, nullptr, _IOFBF, stream_buffer);

    // The encoder takes no signals: they stay with the thread that handles
    // them.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    started_ = pthread_create(&thread_, nullptr, encode_input, this) == 0;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (!started_) {
        // Nothing written yet: the cookie is dropped without its close.
        end_input();
        std::fclose(stream);
        return file;
    }
    std::setvbuf(file, nullptr, _IONBF, 0);  // the stream above buffers
    file_ = file;
    return stream;
}

ssize_t StreamingEncoder::write_both(void* self, const char* data, size_t size) {
    auto* encoder = static_cast<StreamingEncoder*>(self);
    if (std::fwrite(data, 1, size, encoder->file_) != size) return -1;
    encoder->written_ += size;
    if (!encoder->input_broken_ && !write_all(encoder->pipe_write_, data, size)) encoder->input_broken_ = true;
    return static_cast<ssize_t>(size);
}

int StreamingEncoder::close_both(void* self) {
    auto* encoder = static_cast<StreamingEncoder*>(self);
    encoder->end_input();
    int status = encoder->file_ ? std::fclose(encoder->file_) : 0;
    encoder->file_ = nullptr;
    return status == 0 ? 0 : -1;
}

bool StreamingEncoder::finish(CodecSizes* sizes) {
    if (!started_ || !encoded_) return false;
    end_input();
    if (!joined_) pthread_join(thread_, nullptr);
    joined_ = true;
    if (encode_status_ != 0 || input_broken_ || sizes_.uncompressed != written_) return false;
    if (sizes) *sizes = sizes_;
    return true;
}

void StreamingEncoder::release_encoded() {
    if (encoded_) std::fclose(encoded_);
    encoded_ = nullptr;
}

// The compressed copy is released as soon as it is in the container: the
// sealing that follows needs the room on a nearly full disk.
int add_streamed_item(ContainerFile& container, StreamingEncoder* encoder, int id, const char* file_name) {
    CodecSizes sizes;
    bool streamed = encoder && encoder->finish(&sizes);
    int rc = streamed ? container.add_encoded_item(id, file_name, encoder->encoded(), sizes)
                      : container.add_item(id, file_name, true);
    if (encoder) encoder->release_encoded();
    return rc;
}
