#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Fixed-width unsigned integers in a chosen byte order, and a bounds-checked reader over a
// received byte string. Every binary format of the project (transport frames, signature
// trailers, signed records) is read and written with these, so the byte order is written
// down once.
namespace tavelin {

enum class ByteOrder { bigEndian, littleEndian };

// Writes the low `width` bytes (1..8) of `value` to out[0..width).
template <typename Byte>
void storeUnsigned(Byte* out, std::uint64_t value, std::size_t width, ByteOrder order) noexcept {
    for (std::size_t index = 0; index < width; ++index) {
        const std::size_t shift = order == ByteOrder::bigEndian ? width - 1 - index : index;
        out[index] = static_cast<Byte>((value >> (8 * shift)) & 0xFFU);
    }
}

// Reads `width` bytes (1..8) from in[0..width).
template <typename Byte>
[[nodiscard]] std::uint64_t loadUnsigned(const Byte* in, std::size_t width,
                                         ByteOrder order) noexcept {
    std::uint64_t value = 0;
    for (std::size_t index = 0; index < width; ++index) {
        const std::size_t shift = order == ByteOrder::bigEndian ? width - 1 - index : index;
        value |= static_cast<std::uint64_t>(static_cast<std::uint8_t>(in[index])) << (8 * shift);
    }
    return value;
}

// Appends the low `width` bytes of `value` to a std::string or std::vector<std::uint8_t>.
template <typename Bytes>
void appendUnsigned(Bytes& out, std::uint64_t value, std::size_t width, ByteOrder order) {
    const std::size_t start = out.size();
    out.resize(start + width);
    storeUnsigned(out.data() + start, value, width, order);
}

// Reads fields one after another from a byte string it does not own. A read past the end
// answers nothing and leaves the reader where it was.
class ByteReader {
  public:
    explicit ByteReader(std::string_view bytes) noexcept
        : data_(reinterpret_cast<const std::uint8_t*>(bytes.data())), size_(bytes.size()) {}
    explicit ByteReader(std::span<const std::uint8_t> bytes) noexcept
        : data_(bytes.data()), size_(bytes.size()) {}

    [[nodiscard]] std::size_t remaining() const noexcept { return size_ - offset_; }

    [[nodiscard]] std::optional<std::uint64_t> readUnsigned(std::size_t width,
                                                            ByteOrder order) noexcept {
        if (remaining() < width) {
            return std::nullopt;
        }
        const std::uint64_t value = loadUnsigned(data_ + offset_, width, order);
        offset_ += width;
        return value;
    }

    // The next `count` bytes as a view into the reader's string.
    [[nodiscard]] std::optional<std::string_view> readBytes(std::size_t count) noexcept {
        if (remaining() < count) {
            return std::nullopt;
        }
        const std::string_view bytes(reinterpret_cast<const char*>(data_ + offset_), count);
        offset_ += count;
        return bytes;
    }

    // Everything not read yet.
    [[nodiscard]] std::string_view rest() noexcept { return *readBytes(remaining()); }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t offset_ = 0;
};

}  // namespace tavelin
