// The container file: a 20-byte header and up to 255 numbered items, each
// LZHUF-compressed or stored, kept on disk in a sealed form without zero bytes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>

#include "archive/lzhuf_codec.h"

// Hour, minute, second, day, month, full year (UTC), 7 bytes in the file.
struct __attribute__((packed)) DateStamp {
    uint8_t hour = 0;
    uint8_t minute = 0;
    uint8_t second = 0;
    uint8_t day = 0;
    uint8_t month = 0;
    uint16_t year = 0;
};
static_assert(sizeof(DateStamp) == 7);

// The stamp of a calendar time, broken down as UTC.
DateStamp make_date_stamp(std::time_t when);
// True when every field is in its range (a year from 1970 to 9999).
bool valid_date_stamp(const DateStamp& stamp);

// One item record header as read from the file.
struct ItemRecord {
    int64_t offset = 0;            // file offset of the record header
    uint8_t id = 0;
    uint32_t uncompressed_length = 0;
    uint8_t compressed_flag = 0;   // any non-zero value means compressed
    uint32_t compressed_length = 0;
    // Bytes of item data that follow the record header.
    uint32_t data_length() const { return compressed_flag ? compressed_length : uncompressed_length; }
};

inline constexpr int container_header_size = 20;
inline constexpr int item_record_size = 10;
inline constexpr int version_record_size = 76;
inline constexpr int max_container_items = 255;
inline constexpr uint8_t version_item_id = 16;
inline constexpr uint8_t xml_report_item_id = 15;
inline constexpr uint8_t text_report_item_id = 254;

class ContainerFile {
public:
    ContainerFile() = default;
    ~ContainerFile();
    ContainerFile(const ContainerFile&) = delete;
    ContainerFile& operator=(const ContainerFile&) = delete;

    // Writer. Status 0 or a negative code (-1 argument or state, -2 open for
    // reading, -3 create, -4 directory full / seal or version file, -5 header
    // read, -6 header write, -8 no such id, -9 codec, -10 not a container).
    // Files are created fresh: a link planted under a name is replaced, never
    // written through. Inputs and containers are opened without following a
    // link at their name.
    int create(const char* file_name);
    int add_item(int id, const char* file_name, bool compress);
    // Adds file_name as a compressed item whose LZHUF stream was already
    // made (encoded holds it, sizes gives both lengths). The result is the
    // one add_item would give; when the file's length differs from the
    // recorded one, the file is compressed afresh.
    int add_encoded_item(int id, const char* file_name, FILE* encoded, const CodecSizes& sizes);
    // Adds the version record as item 16. Gives 0 once the record file was
    // made (-4 when it could not be); the status of adding it goes to
    // item_status when given.
    int write_version_record(const char* version_text, int* item_status = nullptr);
    // Flushes and closes the file: 0, or -6 when buffered data could not be
    // written.
    int close();

    // Convert a closed container file between plain and sealed form in place.
    static int seal(const char* file_name);
    static int unseal(const char* file_name);
    // Writes the plain form of a sealed file as a new file plain_name; the
    // sealed file is not touched. With cut given, a file that ends inside an
    // escape pair loses its lone last byte and *cut says so.
    static int unseal_to(const char* sealed_name, const char* plain_name, bool* cut = nullptr);

    // Reader. open unseals a sealed file on disk before walking its records.
    // A file that ends before its last declared item (an upload cut short)
    // still opens: the complete items before the cut are in the directory
    // and damaged() is true.
    int open(const char* file_name);
    int extract_item(int index, const char* output_name);
    int extract_item_by_id(int id, const char* output_name);
    int item_count() const { return count_; }
    int item_id(int index) const;
    DateStamp creation_stamp() const { return stamp_; }
    bool damaged() const { return damaged_; }
    // The item count the header declares (the directory may hold fewer).
    int declared_item_count() const { return declared_items_; }
    // Where the first incomplete item starts; its record header when that
    // was still complete (then true).
    bool cut_record(ItemRecord* record) const {
        if (record) *record = cut_record_;
        return cut_record_known_;
    }

    // Reads the record header of the item at a directory index.
    int read_record(int index, ItemRecord* record);
    // After extract_item: true when the item's data matched its recorded
    // lengths exactly (a clean stream of exactly the compressed length).
    bool last_extract_exact() const { return last_extract_exact_; }
    // Where open and extract_item print their trace lines (standard output
    // unless changed; null for none).
    void set_trace(FILE* trace) { trace_ = trace; }

private:
    struct DirectoryEntry {
        uint8_t id = 0;
        int64_t offset = 0;
    };

    static int unseal_file(const char* file_name, bool* cut);
    static int unseal_into(const char* file_name, const char* temp_name, const char* final_name, bool* cut);
    void trace(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void forget_file();
    int append_record(int id, FILE* input, bool compress, uint32_t length);
    int append_encoded(int id, FILE* input, FILE* encoded, const CodecSizes& sizes);
    int open_item_input(const char* file_name, FILE** input, int64_t* length, int64_t* start);
    int finish_item(int rc, int id, int64_t start);
    int rewrite_count();

    FILE* file_ = nullptr;
    DirectoryEntry directory_[max_container_items];
    int count_ = 0;
    DateStamp stamp_;
    bool damaged_ = false;
    int declared_items_ = 0;
    ItemRecord cut_record_;
    bool cut_record_known_ = false;
    bool last_extract_exact_ = false;
    FILE* trace_ = stdout;
};
