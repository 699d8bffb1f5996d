#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

namespace vorn {

// An immutable run of bytes that is cheap to copy: copies share one buffer,
// and a slice points into the buffer it was cut from. Datagrams travel from
// the kernel to the codec and back out as SharedBytes, so a payload is copied
// at most once on its way through the program.
class SharedBytes {
public:
    SharedBytes() = default;

    // Takes the bytes over without copying them.
    static SharedBytes adopt(std::vector<std::uint8_t>&& bytes) {
        auto owner = std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes));
        SharedBytes result;
        result.data_ = owner->data();
        result.size_ = owner->size();
        result.owner_ = std::move(owner);
        return result;
    }

    static SharedBytes copy(std::span<const std::uint8_t> bytes) {
        return adopt(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
    }

    static SharedBytes copy(std::string_view text) {
        const auto* first = reinterpret_cast<const std::uint8_t*>(text.data());
        return copy(std::span<const std::uint8_t>(first, text.size()));
    }

    // A buffer of `size` bytes, returned with a pointer for filling it in
    // before the result is shared; one allocation for buffer and bookkeeping.
    static SharedBytes allocate(std::size_t size, std::uint8_t*& writable) {
        auto owner = std::make_shared_for_overwrite<std::uint8_t[]>(size == 0 ? 1 : size);
        writable = owner.get();
        SharedBytes result;
        result.data_ = owner.get();
        result.size_ = size;
        result.owner_ = std::move(owner);
        return result;
    }

    // Shares `owner`'s lifetime for bytes that live inside it.
    static SharedBytes view(std::shared_ptr<const void> owner, std::span<const std::uint8_t> bytes) {
        SharedBytes result;
        result.owner_ = std::move(owner);
        result.data_ = bytes.data();
        result.size_ = bytes.size();
        return result;
    }

    const std::uint8_t* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    std::span<const std::uint8_t> span() const noexcept { return {data_, size_}; }
    const std::uint8_t* begin() const noexcept { return data_; }
    const std::uint8_t* end() const noexcept { return data_ + size_; }
    std::uint8_t operator[](std::size_t i) const noexcept { return data_[i]; }

    // Bytes [offset, offset + count) of this run, sharing its buffer. The
    // range is clamped to what exists.
    SharedBytes slice(std::size_t offset, std::size_t count) const {
        offset = std::min(offset, size_);
        count = std::min(count, size_ - offset);
        SharedBytes result;
        result.owner_ = owner_;
        result.data_ = data_ + offset;
        result.size_ = count;
        return result;
    }

    std::vector<std::uint8_t> toVector() const { return {begin(), end()}; }

    friend bool operator==(const SharedBytes& a, const SharedBytes& b) noexcept {
        return a.size_ == b.size_ && (a.size_ == 0 || std::memcmp(a.data_, b.data_, a.size_) == 0);
    }

private:
    std::shared_ptr<const void> owner_;
    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace vorn
