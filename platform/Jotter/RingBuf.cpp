#include "Jotter/RingBuf.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <mutex>

#include "Jotter/RingFormat.h"

namespace Jotter {

namespace {

using RingFormat::FileHeader;

std::atomic<std::uint64_t> nextGeneration{1};
std::mutex defaultMutex;  // serializes set-up and tear-down of the default ring
std::unique_ptr<RingBuf> defaultOwner;

// Closes the descriptor whatever happens while the file is being set up.
class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Fd(Fd const&) = delete;
    Fd& operator=(Fd const&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

std::string errnoText(char const* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

void putText(std::vector<std::uint8_t>& out, std::string_view text) {
    auto length = static_cast<std::uint16_t>(std::min<std::size_t>(text.size(), 0xffff));
    auto const* l = reinterpret_cast<std::uint8_t const*>(&length);
    out.insert(out.end(), l, l + sizeof length);
    out.insert(out.end(), text.begin(), text.begin() + length);
}

template <class T>
void putRaw(std::vector<std::uint8_t>& out, T value) {
    auto const* p = reinterpret_cast<std::uint8_t const*>(&value);
    out.insert(out.end(), p, p + sizeof value);
}

// The encoded entry, id left as zero so that equal descriptions compare equal.
std::vector<std::uint8_t> encodeDesc(MsgDesc const& d, std::uint32_t id) {
    std::vector<std::uint8_t> out;
    putRaw(out, std::uint32_t{0});
    putRaw(out, id);
    putRaw(out, d.line());
    putRaw(out, static_cast<std::uint8_t>(d.codes().size()));
    for (MsgFormatString code : d.codes()) {
        putRaw(out, static_cast<std::uint8_t>(code));
    }
    putText(out, d.site());
    putText(out, d.source());
    putText(out, d.format());
    auto length = static_cast<std::uint32_t>(out.size());
    std::memcpy(out.data(), &length, sizeof length);
    return out;
}

}  // namespace

std::string_view codeText(MsgFormatString code) {
    switch (code) {
        case MsgFormatString::EC:
            return "EC";
        case MsgFormatString::i:
            return "i";
        case MsgFormatString::s:
            return "s";
        case MsgFormatString::b:
            return "b";
        case MsgFormatString::u:
            return "u";
        case MsgFormatString::q:
            return "q";
        case MsgFormatString::p:
            return "p";
        case MsgFormatString::x:
            return "x";
    }
    return "?";
}

RingFileError::RingFileError(std::string path, std::string reason)
    : std::runtime_error(path + ": " + reason),
      path_(std::move(path)),
      reason_(std::move(reason)) {}

// ---- MsgDesc ----------------------------------------------------------------

MsgDesc::MsgDesc(RingBuf& ring, std::string_view site, std::string_view source, std::uint32_t line)
    : ring_(ring), site_(site), source_(source), line_(line) {}

MsgDesc& MsgDesc::codeAdd(MsgFormatString code) {
    if (codes_.size() < RingFormat::kMaxArgs) {
        codes_.push_back(code);
    }
    return *this;
}

MsgDesc& MsgDesc::formatIs(std::string_view format) {
    format_ = format;
    return *this;
}

std::uint32_t MsgDesc::finish() {
    id_ = ring_.descAdd(*this);
    return id_;
}

// ---- RingBuf ----------------------------------------------------------------

RingBuf::RingBuf(std::string path, std::size_t ringBytes)
    : path_(std::move(path)), generation_(nextGeneration.fetch_add(1)) {
    ringBytes = RingFormat::ringBytesRounded(ringBytes);
    Fd fd(::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (fd.get() < 0) {
        throw RingFileError(path_, errnoText("cannot open"));
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        throw RingFileError(path_, errnoText("cannot stat"));
    }
    if (!S_ISREG(st.st_mode)) {
        throw RingFileError(path_, "not a regular file");
    }
    if (st.st_size != 0) {
        adoptExisting(fd.get(), static_cast<std::size_t>(st.st_size), ringBytes);
        return;
    }
    FileHeader h = RingFormat::headerFor(ringBytes);
    if (::ftruncate(fd.get(), static_cast<off_t>(h.ringOffset + h.ringBytes)) != 0) {
        throw RingFileError(path_, errnoText("cannot size"));
    }
    mapFile(fd.get(), h.ringOffset + h.ringBytes);
    std::memcpy(map_, &h, sizeof h);
    layoutFromHeader();
}

void RingBuf::adoptExisting(int fd, std::size_t fileBytes, std::size_t ringBytes) {
    mapFile(fd, fileBytes);
    RingFormat::Image image;
    std::string error = RingFormat::parse({map_, mapBytes_}, image);
    if (error.empty() && image.header.ringBytes != ringBytes) {
        error = "ring size " + std::to_string(image.header.ringBytes) + " differs from the " +
                std::to_string(ringBytes) + " asked for";
    }
    if (!error.empty()) {
        ::munmap(map_, mapBytes_);
        map_ = nullptr;
        throw RingFileError(path_, "refusing to overwrite: " + error);
    }
    layoutFromHeader();
}

void RingBuf::mapFile(int fd, std::size_t bytes) {
    void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        throw RingFileError(path_, errnoText("cannot map"));
    }
    map_ = static_cast<std::uint8_t*>(p);
    mapBytes_ = bytes;
}

// Called once the header in the mapping is known to be good.
void RingBuf::layoutFromHeader() {
    header_ = reinterpret_cast<FileHeader*>(map_);
    desc_ = map_ + header_->descOffset;
    ring_ = map_ + header_->ringOffset;
    ringBytes_ = header_->ringBytes;
    maxRecord_ = header_->maxRecord;
}

RingBuf::~RingBuf() {
    if (map_ != nullptr) {
        ::msync(map_, mapBytes_, MS_SYNC);
        ::munmap(map_, mapBytes_);
    }
}

void RingBuf::flush() {
    ::msync(map_, mapBytes_, MS_SYNC);
}

std::uint32_t RingBuf::descAdd(MsgDesc const& desc) {
    // Sites describe themselves once each, possibly from several threads.
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    std::vector<std::uint8_t> entry = encodeDesc(desc, 0);
    std::size_t at = 0;
    for (std::uint32_t id = 1; id <= header_->descCount; ++id) {
        std::uint32_t length = 0;
        std::memcpy(&length, desc_ + at, sizeof length);
        // Equal apart from the id field at bytes 4..7.
        bool same = length == entry.size() && std::memcmp(desc_ + at, entry.data(), 4) == 0 &&
                    std::memcmp(desc_ + at + 8, entry.data() + 8, length - 8) == 0;
        if (same) {
            return id;
        }
        at += length;
    }
    if (entry.size() > header_->descBytes - header_->descUsed) {
        return 0;
    }
    std::uint32_t id = header_->descCount + 1;
    std::memcpy(entry.data() + 4, &id, sizeof id);
    std::memcpy(desc_ + header_->descUsed, entry.data(), entry.size());
    header_->descUsed += entry.size();
    header_->descCount = id;
    return id;
}

void RingBuf::evictOldest() {
    std::uint32_t length = 0;
    std::memcpy(&length, ring_ + header_->head, sizeof length);
    std::uint64_t head = header_->head + (length + 7) / 8 * 8;
    header_->count -= 1;
    if (header_->count == 0) {
        header_->head = header_->tail;
        return;
    }
    std::uint32_t next = 0;
    if (head + RingFormat::kRecordHeader <= ringBytes_) {
        std::memcpy(&next, ring_ + head, sizeof next);
    }
    header_->head = next == 0 ? 0 : head;
}

// Records never straddle the end of the ring: when the largest record might
// not fit before the end, a zero length marks the jump back to the start.
void RingBuf::wrapIfNeeded() {
    std::uint64_t tail = header_->tail;
    if (tail + maxRecord_ <= ringBytes_) {
        return;
    }
    while (header_->count > 0 && header_->head >= tail) {
        evictOldest();
    }
    if (tail + RingFormat::kRecordHeader <= ringBytes_) {
        std::memset(ring_ + tail, 0, sizeof(std::uint32_t));
    }
    header_->tail = 0;
    if (header_->count == 0) {
        header_->head = 0;
    }
}

void RingBuf::startMsg(std::uint32_t descId) {
    wrapIfNeeded();
    std::uint64_t tail = header_->tail;
    while (header_->count > 0 && header_->head >= tail && header_->head < tail + maxRecord_) {
        evictOldest();
    }
    if (header_->count == 0) {
        header_->head = tail;
    }
    recStart_ = tail;
    limit_ = tail + maxRecord_;
    std::uint64_t seq = header_->nextSeq;
    std::memcpy(ring_ + tail + 4, &descId, sizeof descId);
    std::memcpy(ring_ + tail + 8, &seq, sizeof seq);
    cur_ = tail + RingFormat::kRecordHeader;
    full_ = false;
}

void RingBuf::writeText(std::string_view text) {
    if (text.size() > 0xffff || full_ || sizeof(std::uint16_t) + text.size() > limit_ - cur_) {
        full_ = true;
        return;
    }
    writeU16(static_cast<std::uint16_t>(text.size()));
    put(text.data(), text.size());
}

void RingBuf::endMsg() {
    if (limit_ == 0) {
        return;  // no startMsg
    }
    auto length = static_cast<std::uint32_t>(cur_ - recStart_);
    std::memcpy(ring_ + recStart_, &length, sizeof length);
    header_->tail = recStart_ + (length + 7) / 8 * 8;
    header_->nextSeq += 1;
    header_->count += 1;
    full_ = true;
    limit_ = 0;
    cur_ = 0;
}

// ---- default handle ---------------------------------------------------------

namespace detail {
std::atomic<RingBuf*> defaultRing{nullptr};
}

void defaultHandleIs(std::string const& path, std::size_t ringBytes) {
    auto ring = std::make_unique<RingBuf>(path, ringBytes);
    std::lock_guard lock(defaultMutex);
    detail::defaultRing.store(ring.get(), std::memory_order_release);
    defaultOwner = std::move(ring);
}

void defaultHandleDel() {
    std::lock_guard lock(defaultMutex);
    detail::defaultRing.store(nullptr, std::memory_order_release);
    defaultOwner.reset();
}

void flushDefault() {
    if (RingBuf* ring = defaultHandle()) {
        ring->flush();
    }
}

}  // namespace Jotter
