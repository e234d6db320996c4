#include "archive/container_file.h"

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <string>

#include "archive/lzhuf_codec.h"
#include "base/clock.h"
#include "base/fresh_file.h"
#include "base/partial_files.h"

namespace {

constexpr char plain_magic[10] = {'_', 'K', 'E', 'L', 'D', 'R', 'A', 'N', '_', 0};
constexpr char sealed_magic[10] = {'_', 'K', 'E', 'L', 'D', 'R', 'F', 'F', '_', 0};
constexpr const char* version_file_name = "KDLIC.TMP";
constexpr size_t copy_chunk = 65536;
// Containers and their working files hold what only root may read.
constexpr mode_t private_mode = 0600;

// An LZHUF stream spends at least one bit on a literal and ten on a match of
// at most 60 bytes, so it can never expand to more than 48 bytes per byte.
constexpr uint64_t max_expansion = 48;

void put_u32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

uint32_t get_u32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void put_stamp(uint8_t* p, const DateStamp& s) {
    p[0] = s.hour;
    p[1] = s.minute;
    p[2] = s.second;
    p[3] = s.day;
    p[4] = s.month;
    p[5] = static_cast<uint8_t>(s.year);
    p[6] = static_cast<uint8_t>(s.year >> 8);
}

DateStamp get_stamp(const uint8_t* p) {
    DateStamp s;
    s.hour = p[0];
    s.minute = p[1];
    s.second = p[2];
    s.day = p[3];
    s.month = p[4];
    s.year = static_cast<uint16_t>(p[5] | p[6] << 8);
    return s;
}

void put_record(uint8_t* p, int id, uint32_t length, uint8_t flag, uint32_t compressed_length) {
    p[0] = static_cast<uint8_t>(id);
    put_u32(p + 1, length);
    p[5] = flag;
    put_u32(p + 6, compressed_length);
}

ItemRecord get_record(const uint8_t* p, int64_t offset) {
    ItemRecord r;
    r.offset = offset;
    r.id = p[0];
    r.uncompressed_length = get_u32(p + 1);
    r.compressed_flag = p[5];
    r.compressed_length = get_u32(p + 6);
    return r;
}

// Copies up to count bytes; returns how many arrived in the output.
uint64_t copy_bytes(FILE* in, FILE* out, uint64_t count) {
    static thread_local uint8_t buffer[copy_chunk];
    uint64_t copied = 0;
    while (copied < count) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(copy_chunk, count - copied));
        size_t got = std::fread(buffer, 1, want, in);
        if (got == 0) break;
        size_t put = std::fwrite(buffer, 1, got, out);
        copied += put;
        if (put != got || got != want) break;
    }
    return copied;
}

// Buffered byte output that remembers a failed write.
struct ByteSink {
    explicit ByteSink(FILE* f) : file(f) {}
    void put(uint8_t b) {
        if (used == sizeof buffer) flush();
        buffer[used++] = b;
    }
    bool flush() {
        if (used > 0 && std::fwrite(buffer, 1, used, file) != used) failed = true;
        used = 0;
        return !failed;
    }
    FILE* file;
    size_t used = 0;
    bool failed = false;
    uint8_t buffer[copy_chunk];
};

// Writes the sealed form of the rest of in: 0x00 -> FF 01, 0xFF -> FF FF.
void seal_bytes(const uint8_t* data, size_t n, ByteSink& sink) {
    for (size_t i = 0; i < n; i++) {
        uint8_t b = data[i];
        if (b == 0x00) {
            sink.put(0xFF);
            sink.put(0x01);
        } else if (b == 0xFF) {
            sink.put(0xFF);
            sink.put(0xFF);
        } else {
            sink.put(b);
        }
    }
}

// A temporary file named after the current second ("%X.tmp"), created fresh
// (anything planted under the name is removed first). When the name cannot
// be used, for example because a directory stands there, the next seconds'
// names are tried.
FILE* create_item_temp(char* name, size_t size) {
    std::time_t now = clock_now();
    for (int attempt = 0; attempt < 16; attempt++) {
        std::snprintf(name, size, "%lX.tmp", static_cast<unsigned long>(now + attempt));
        FILE* f = fopen_fresh(name, "w+b", private_mode);
        if (f) {
            track_partial_file(name);
            return f;
        }
    }
    return nullptr;
}

// The permissions of a converted file: those of the original, never wider.
mode_t kept_mode(FILE* original) {
    struct stat info;
    if (fstat(fileno(original), &info) != 0) return private_mode;
    return info.st_mode & 0777;
}

void remove_item_temp(const char* name) {
    std::remove(name);
    forget_partial_file(name);
}

int64_t file_size(FILE* f) {
    if (fseeko(f, 0, SEEK_END) != 0) return -1;
    return ftello(f);
}

// Closes both files and removes the temporary one after a failed conversion.
int abandon(FILE* in, FILE* out, const std::string& temp_name, int code) {
    std::fclose(in);
    std::fclose(out);
    std::remove(temp_name.c_str());
    return code;
}

// Finishes a conversion: closes both files and moves the temporary file over
// the original only when everything was written.
int finish_conversion(FILE* in, FILE* out, const std::string& temp_name, const char* file_name) {
    std::fclose(in);
    if (std::fclose(out) != 0 || std::rename(temp_name.c_str(), file_name) != 0) {
        std::remove(temp_name.c_str());
        return -6;
    }
    return 0;
}

}  // namespace

DateStamp make_date_stamp(std::time_t when) {
    std::tm t{};
    gmtime_r(&when, &t);
    DateStamp s;
    s.hour = static_cast<uint8_t>(t.tm_hour);
    s.minute = static_cast<uint8_t>(t.tm_min);
    s.second = static_cast<uint8_t>(t.tm_sec);
    s.day = static_cast<uint8_t>(t.tm_mday);
    s.month = static_cast<uint8_t>(t.tm_mon + 1);
    s.year = static_cast<uint16_t>(t.tm_year + 1900);
    return s;
}

bool valid_date_stamp(const DateStamp& s) {
    return s.hour <= 23 && s.minute <= 59 && s.second <= 60 && s.day >= 1 && s.day <= 31 && s.month >= 1 &&
           s.month <= 12 && s.year >= 1970 && s.year <= 9999;
}

ContainerFile::~ContainerFile() {
    close();
}

void ContainerFile::trace(const char* format, ...) {
    if (!trace_) return;
    va_list args;
    va_start(args, format);
    std::vfprintf(trace_, format, args);
    va_end(args);
}

void ContainerFile::forget_file() {
    if (file_) std::fclose(file_);
    file_ = nullptr;
}

int ContainerFile::close() {
    if (!file_) return 0;
    bool failed = std::fflush(file_) != 0 || std::ferror(file_);
    failed = std::fclose(file_) != 0 || failed;
    file_ = nullptr;
    return failed ? -6 : 0;
}

int ContainerFile::item_id(int index) const {
    if (index < 0 || index >= count_) return 0;
    return directory_[index].id;
}

// ---------------------------------------------------------------- writer

int ContainerFile::create(const char* file_name) {
    if (!file_name) return -1;
    close();
    count_ = 0;
    damaged_ = false;
    declared_items_ = 0;
    // The stream stays open for the items: reopening the name would give a
    // moment in which something else could be put in its place.
    file_ = fopen_fresh(file_name, "w+b", private_mode);
    if (!file_) return -3;

    uint8_t header[container_header_size] = {};
    std::memcpy(header, plain_magic, sizeof plain_magic);
    put_stamp(header + 10, make_date_stamp(clock_now()));
    header[17] = 0;
    header[18] = 2;
    header[19] = 0;
    if (std::fwrite(header, 1, sizeof header, file_) != sizeof header || std::fflush(file_) != 0) {
        forget_file();
        std::remove(file_name);
        return -6;
    }
    return 0;
}

// Opens an item's input and notes its length and where its record will
// start. 0, or add_item's status.
int ContainerFile::open_item_input(const char* file_name, FILE** input, int64_t* length, int64_t* start) {
    *input = fopen_no_follow(file_name, "rb");
    if (!*input) return -2;
    *length = file_size(*input);
    if (*length < 0 || *length > static_cast<int64_t>(UINT32_MAX) || fseeko(*input, 0, SEEK_SET) != 0) {
        std::fclose(*input);
        return -2;
    }
    *start = file_size(file_);
    if (*start < 0) {
        std::fclose(*input);
        return -6;
    }
    return 0;
}

// Counts an appended item, or leaves the container exactly as it was
// before it when rc or the count's rewrite failed.
int ContainerFile::finish_item(int rc, int id, int64_t start) {
    if (rc == 0) {
        directory_[count_].id = static_cast<uint8_t>(id);
        directory_[count_].offset = start;
        count_++;
        rc = rewrite_count();
        if (rc != 0) count_--;
    }
    if (rc != 0) {
        std::fflush(file_);
        if (ftruncate(fileno(file_), start) != 0) rc = -6;
        std::clearerr(file_);
        fseeko(file_, 0, SEEK_END);
    }
    return rc;
}

int ContainerFile::add_item(int id, const char* file_name, bool compress) {
    if (!file_ || !file_name || id < 0 || id > 255) return -1;
    if (count_ > max_container_items - 1) return -4;
    FILE* input = nullptr;
    int64_t length = 0, start = 0;
    int rc = open_item_input(file_name, &input, &length, &start);
    if (rc != 0) return rc;
    rc = append_record(id, input, compress, static_cast<uint32_t>(length));
    std::fclose(input);
    return finish_item(rc, id, start);
}

int ContainerFile::add_encoded_item(int id, const char* file_name, FILE* encoded, const CodecSizes& sizes) {
    if (!file_ || !file_name || !encoded || id < 0 || id > 255) return -1;
    if (count_ > max_container_items - 1) return -4;
    FILE* input = nullptr;
    int64_t length = 0, start = 0;
    int rc = open_item_input(file_name, &input, &length, &start);
    if (rc != 0) return rc;
    if (length != static_cast<int64_t>(sizes.uncompressed) || length == 0) {
        std::fclose(input);
        return add_item(id, file_name, true);
    }
    rc = append_encoded(id, input, encoded, sizes);
    std::fclose(input);
    return finish_item(rc, id, start);
}

// Appends one record and its data at the container's current end.
int ContainerFile::append_record(int id, FILE* input, bool compress, uint32_t length) {
    if (compress) {
        char temp_name[48];
        FILE* temp = create_item_temp(temp_name, sizeof temp_name);
        if (!temp) return -3;
        auto codec = std::make_unique<LzhufCodec>();
        CodecSizes sizes;
        int rc = codec->encode(input, temp, &sizes);
        if (rc == 0 && std::fflush(temp) != 0) rc = -3;
        rc = rc == 0 ? append_encoded(id, input, temp, sizes) : -9;
        std::fclose(temp);
        remove_item_temp(temp_name);
        return rc;
    }
    uint8_t record[item_record_size];
    put_record(record, id, length, 0, 0);
    if (std::fwrite(record, 1, sizeof record, file_) != sizeof record) return -6;
    if (copy_bytes(input, file_, length) != length) return std::ferror(file_) ? -6 : -2;
    return std::fflush(file_) == 0 ? 0 : -6;
}

// Appends the record of a compressed item and its stream from encoded.
// Equal lengths would read back as stored data, so such an item is stored.
int ContainerFile::append_encoded(int id, FILE* input, FILE* encoded, const CodecSizes& sizes) {
    if (sizes.compressed == sizes.uncompressed) {
        if (fseeko(input, 0, SEEK_SET) != 0) return -2;
        return append_record(id, input, false, sizes.uncompressed);
    }
    uint8_t record[item_record_size];
    put_record(record, id, sizes.uncompressed, 1, sizes.compressed);
    bool ok = std::fwrite(record, 1, sizeof record, file_) == sizeof record;
    ok = ok && fseeko(encoded, 0, SEEK_SET) == 0;
    ok = ok && copy_bytes(encoded, file_, sizes.compressed) == sizes.compressed;
    return ok && std::fflush(file_) == 0 ? 0 : -6;
}

int ContainerFile::rewrite_count() {
    uint8_t header[container_header_size];
    if (fseeko(file_, 0, SEEK_SET) != 0 || std::fread(header, 1, sizeof header, file_) != sizeof header)
        return -5;
    header[19] = static_cast<uint8_t>(count_);
    if (fseeko(file_, 0, SEEK_SET) != 0 || std::fwrite(header, 1, sizeof header, file_) != sizeof header ||
        std::fflush(file_) != 0)
        return -6;
    return 0;
}

int ContainerFile::write_version_record(const char* version_text, int* item_status) {
    if (item_status) *item_status = -1;
    if (!version_text) return -1;
    if (!file_) return 0;  // add_item would refuse: nothing to write
    uint8_t record[version_record_size] = {};
    put_u32(record, version_record_size);
    record[4] = 1;
    put_stamp(record + 5, make_date_stamp(clock_now()));
    std::memcpy(record + 12, version_text, strnlen(version_text, 64));

    FILE* f = fopen_fresh(version_file_name, "wb", private_mode);
    if (!f) return -4;
    bool written = std::fwrite(record, 1, sizeof record, f) == sizeof record;
    if (std::fclose(f) != 0) written = false;
    int rc = written ? add_item(version_item_id, version_file_name, true) : -6;
    std::remove(version_file_name);
    if (item_status) *item_status = rc;
    return 0;
}

// ---------------------------------------------------------------- sealed form

int ContainerFile::seal(const char* file_name) {
    if (!file_name) return -1;
    FILE* in = fopen_no_follow(file_name, "rb");
    if (!in) return -4;
    std::string temp_name = std::string(file_name) + ".tmp";
    FILE* out = fopen_fresh(temp_name.c_str(), "wb", kept_mode(in));
    if (!out) {
        std::fclose(in);
        return -4;
    }
    uint8_t header[container_header_size];
    if (std::fread(header, 1, sizeof header, in) != sizeof header) return abandon(in, out, temp_name, -5);
    std::memcpy(header, sealed_magic, sizeof sealed_magic);

    auto sink = std::make_unique<ByteSink>(out);
    auto chunk = std::make_unique<uint8_t[]>(copy_chunk);
    seal_bytes(header, sizeof header, *sink);
    size_t got;
    while ((got = std::fread(chunk.get(), 1, copy_chunk, in)) > 0) seal_bytes(chunk.get(), got, *sink);
    if (std::ferror(in)) return abandon(in, out, temp_name, -5);
    if (!sink->flush()) return abandon(in, out, temp_name, -6);
    return finish_conversion(in, out, temp_name, file_name);
}

int ContainerFile::unseal(const char* file_name) {
    return unseal_file(file_name, nullptr);
}

// With cut given, a file that ends in the middle of an escape pair (an
// upload cut short) loses its lone last byte and *cut tells so; without it,
// that is an error like any broken pair.
int ContainerFile::unseal_file(const char* file_name, bool* cut) {
    if (!file_name) return -1;
    return unseal_into(file_name, (std::string(file_name) + ".tmp").c_str(), file_name, cut);
}

int ContainerFile::unseal_to(const char* sealed_name, const char* plain_name, bool* cut) {
    if (!sealed_name || !plain_name) return -1;
    return unseal_into(sealed_name, plain_name, nullptr, cut);
}

// Unseals file_name into temp_name, which is then renamed to final_name
// (when given) or kept.
int ContainerFile::unseal_into(const char* file_name, const char* temp, const char* final_name, bool* cut) {
    FILE* in = fopen_no_follow(file_name, "rb");
    if (!in) return -4;
    const std::string temp_name = temp;
    FILE* out = fopen_fresh(temp_name.c_str(), "w+b", kept_mode(in));
    if (!out) {
        std::fclose(in);
        return -4;
    }
    auto sink = std::make_unique<ByteSink>(out);
    auto chunk = std::make_unique<uint8_t[]>(copy_chunk);
    bool escape = false;
    size_t got;
    while ((got = std::fread(chunk.get(), 1, copy_chunk, in)) > 0) {
        for (size_t i = 0; i < got; i++) {
            uint8_t b = chunk[i];
            if (escape) {
                if (b != 0x01 && b != 0xFF) return abandon(in, out, temp_name, -6);
                sink->put(b == 0x01 ? 0x00 : 0xFF);
                escape = false;
            } else if (b == 0xFF) {
                escape = true;
            } else {
                sink->put(b);
            }
        }
    }
    if (std::ferror(in)) return abandon(in, out, temp_name, -5);
    if (escape && !cut) return abandon(in, out, temp_name, -6);
    if (cut) *cut = escape;
    if (!sink->flush() || std::fflush(out) != 0) return abandon(in, out, temp_name, -6);

    uint8_t header[container_header_size];
    std::rewind(out);
    if (std::fread(header, 1, sizeof header, out) != sizeof header) return abandon(in, out, temp_name, -5);
    std::memcpy(header, plain_magic, sizeof plain_magic);
    std::rewind(out);
    if (std::fwrite(header, 1, sizeof header, out) != sizeof header) return abandon(in, out, temp_name, -6);
    if (final_name) return finish_conversion(in, out, temp_name, final_name);
    std::fclose(in);
    if (std::fclose(out) != 0) {
        std::remove(temp_name.c_str());
        return -6;
    }
    return 0;
}

// ---------------------------------------------------------------- reader

int ContainerFile::open(const char* file_name) {
    if (!file_name) return -1;
    close();
    count_ = 0;
    damaged_ = false;
    declared_items_ = 0;
    cut_record_ = ItemRecord{};
    cut_record_known_ = false;
    // The reader never writes: a container the user may only read opens too.
    file_ = fopen_no_follow(file_name, "rb");
    if (!file_) return -2;
    uint8_t header[container_header_size];
    if (std::fread(header, 1, sizeof header, file_) != sizeof header) {
        forget_file();
        return -5;
    }
    if (std::memcmp(header, sealed_magic, 9) == 0) {
        forget_file();
        bool cut = false;
        int unsealed = unseal_file(file_name, &cut);
        if (unsealed == -5) return -5;  // nothing past the header's start
        if (unsealed != 0) return -10;
        damaged_ = cut;
        file_ = fopen_no_follow(file_name, "rb");
        if (!file_) return -2;
        if (std::fread(header, 1, sizeof header, file_) != sizeof header) {
            forget_file();
            return -5;
        }
    }
    if (std::memcmp(header, plain_magic, sizeof plain_magic) != 0) {
        forget_file();
        return -10;
    }
    stamp_ = get_stamp(header + 10);
    int items = header[19];
    declared_items_ = items;
    trace("Items is %d\n", items);

    // A file cut short keeps the complete items before the cut; the first
    // incomplete one and everything after it are left out of the directory.
    int64_t size = file_size(file_);
    int64_t offset = container_header_size;
    for (int i = 0; i < items; i++) {
        trace("Offset is %lld\n", static_cast<long long>(offset));
        uint8_t raw[item_record_size];
        if (fseeko(file_, offset, SEEK_SET) != 0 || std::fread(raw, 1, sizeof raw, file_) != sizeof raw) {
            std::clearerr(file_);
            cut_record_.offset = offset;
            damaged_ = true;
            break;
        }
        ItemRecord record = get_record(raw, offset);
        trace("ID is %d\n", record.id);
        trace("Compressed = %d\n", record.compressed_flag);
        trace("Size is %u, Csize is %u\n", record.uncompressed_length, record.compressed_length);
        int64_t next = offset + item_record_size + record.data_length();
        if (next > size) {
            cut_record_ = record;
            cut_record_known_ = true;
            damaged_ = true;
            break;
        }
        directory_[count_].id = record.id;
        directory_[count_].offset = offset;
        count_++;
        offset = next;
    }
    fseeko(file_, 0, SEEK_SET);
    return 0;
}

int ContainerFile::read_record(int index, ItemRecord* record) {
    if (!file_ || !record || index < 0 || index >= count_) return -1;
    uint8_t raw[item_record_size];
    int64_t offset = directory_[index].offset;
    if (fseeko(file_, offset, SEEK_SET) != 0 || std::fread(raw, 1, sizeof raw, file_) != sizeof raw)
        return -5;
    *record = get_record(raw, offset);
    return 0;
}

int ContainerFile::extract_item(int index, const char* output_name) {
    last_extract_exact_ = false;
    if (!file_ || !output_name || index < 0 || index >= count_) return -1;
    trace("Seeking to %lld\n", static_cast<long long>(directory_[index].offset));
    ItemRecord record;
    if (read_record(index, &record) != 0) return -5;
    bool compressed = record.compressed_flag != 0;
    if (compressed && record.uncompressed_length > max_expansion * record.compressed_length) return -9;

    FILE* out = fopen_fresh(output_name, "wb");
    if (!out) return -3;
    if (compressed) {
        auto codec = std::make_unique<LzhufCodec>();
        CodecSizes sizes;
        sizes.uncompressed = record.uncompressed_length;
        sizes.compressed = record.compressed_length;
        if (codec->decode(file_, out, &sizes) != 0) {
            std::fclose(out);
            std::remove(output_name);
            return -9;
        }
        last_extract_exact_ = codec->stream_exact();
    } else {
        last_extract_exact_ = copy_bytes(file_, out, record.uncompressed_length) == record.uncompressed_length;
    }
    bool failed = std::fflush(out) != 0 || std::ferror(out);
    if (std::fclose(out) != 0 || failed) {
        std::remove(output_name);
        last_extract_exact_ = false;
        return -3;
    }
    return 0;
}

int ContainerFile::extract_item_by_id(int id, const char* output_name) {
    if (!file_ || !output_name) return -1;
    for (int i = 0; i < count_; i++) {
        if (directory_[i].id == id) return extract_item(i, output_name);
    }
    return -8;
}
