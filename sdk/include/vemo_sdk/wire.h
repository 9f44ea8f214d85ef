#pragma once
// The wire protocol between libvemo_sdk and a controller (the real one or
// vemo_robot_sim). Both sides include this header, so they cannot drift.
//
// Every message is a frame: a 4-byte big-endian length L, then L bytes made of
// one type byte and the body. L counts the type byte, so it is never 0, and it
// is capped at kMaxFrameSize: a reader that sees a bigger L drops the
// connection without waiting for the body.
//
//   kJson    body is a UTF-8 JSON object. Requests {"id":n,"m":method,"rb":robot,"a":[args]}
//            answered by {"id":n,"c":code,"r":result} (c 0 means success).
//   kData    controller to client, one status packet of a subscribed channel:
//            u32 channel, u16 count, then count values (u8 tag + payload).
//   kOutput  client to controller, one packet of a published channel:
//            u32 channel, u16 count, then count pairs (i32 index, u8 state).
//
// Numbers inside the binary bodies are little-endian; doubles are IEEE 754.
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace ryne {
namespace vemo_sdk {
namespace wire {

constexpr uint32_t kMaxFrameSize = 1u << 20;
constexpr size_t kHeaderSize = 4;

enum class FrameType : uint8_t { kJson = 1, kData = 2, kOutput = 3 };

inline bool isKnownType(uint8_t t) {
  return t >= 1 && t <= 3;
}

// Into `out`, replacing what it held; a reused string keeps its capacity.
inline void encodeFrameInto(std::string& out, FrameType type, const std::string& body) {
  const uint32_t len = static_cast<uint32_t>(body.size() + 1);
  out.clear();
  out.reserve(kHeaderSize + len);
  out.push_back(static_cast<char>(len >> 24));
  out.push_back(static_cast<char>(len >> 16));
  out.push_back(static_cast<char>(len >> 8));
  out.push_back(static_cast<char>(len));
  out.push_back(static_cast<char>(type));
  out += body;
}

inline std::string encodeFrame(FrameType type, const std::string& body) {
  std::string out;
  encodeFrameInto(out, type, body);
  return out;
}

// Splits a byte stream into frames. Once it reports an error it stays in
// error: the only sound reaction is closing the connection.
class FrameReader {
 public:
  enum class Result { kFrame, kNeedMore, kError };

  void append(const char* data, size_t n) {
    if (failed_) return;
    if (pos_ > 0 && pos_ == buf_.size()) {
      buf_.clear();
      pos_ = 0;
    }
    buf_.append(data, n);
  }

  Result next(FrameType& type, std::string& body) {
    if (failed_) return Result::kError;
    const size_t avail = buf_.size() - pos_;
    if (avail < kHeaderSize) return Result::kNeedMore;
    const auto* p = reinterpret_cast<const unsigned char*>(buf_.data() + pos_);
    const uint32_t len =
        (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
    if (len == 0) return fail("empty frame");
    if (len > kMaxFrameSize) return fail("frame of " + std::to_string(len) + " bytes over the cap");
    if (avail > kHeaderSize && !isKnownType(p[4]))
      return fail("unknown frame type " + std::to_string(p[4]));
    if (avail < kHeaderSize + len) return Result::kNeedMore;
    type = static_cast<FrameType>(p[4]);
    body.assign(buf_, pos_ + kHeaderSize + 1, len - 1);
    pos_ += kHeaderSize + len;
    if (pos_ > 65536 && pos_ * 2 > buf_.size()) {
      buf_.erase(0, pos_);
      pos_ = 0;
    }
    return Result::kFrame;
  }

  // Bytes of a frame begun but not finished: non-zero at end of stream means
  // the peer truncated a frame.
  size_t pending() const { return buf_.size() - pos_; }
  bool failed() const { return failed_; }
  const std::string& error() const { return error_; }
  void reset() {
    buf_.clear();
    pos_ = 0;
    failed_ = false;
    error_.clear();
  }

 private:
  Result fail(std::string why) {
    failed_ = true;
    error_ = std::move(why);
    buf_.clear();
    pos_ = 0;
    return Result::kError;
  }

  std::string buf_;
  size_t pos_ = 0;
  bool failed_ = false;
  std::string error_;
};

// --- binary bodies -----------------------------------------------------------

enum class ValueTag : uint8_t {
  kDouble = 1,
  kInt64 = 2,
  kInt32 = 3,
  kVectorDouble = 4,
  kVectorInt16 = 5
};

struct Value {
  ValueTag tag = ValueTag::kInt64;
  double d = 0.0;
  int64_t i = 0;
  std::vector<double> vd;
  std::vector<int16_t> vi;
};

class BodyWriter {
 public:
  void u8(uint8_t v) { out_.push_back(static_cast<char>(v)); }
  void u16(uint16_t v) { raw(v); }
  void u32(uint32_t v) { raw(v); }
  void i32(int32_t v) { raw(static_cast<uint32_t>(v)); }
  void i64(int64_t v) { raw(static_cast<uint64_t>(v)); }
  void f64(double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    raw(bits);
  }
  std::string& str() { return out_; }

 private:
  template <typename T>
  void raw(T v) {
    for (size_t k = 0; k < sizeof(T); ++k) out_.push_back(static_cast<char>((v >> (8 * k)) & 0xff));
  }
  std::string out_;
};

class BodyReader {
 public:
  explicit BodyReader(const std::string& body) : p_(body.data()), left_(body.size()) {}
  bool u8(uint8_t& v) { return raw(v); }
  bool u16(uint16_t& v) { return raw(v); }
  bool u32(uint32_t& v) { return raw(v); }
  bool i32(int32_t& v) {
    uint32_t u;
    if (!raw(u)) return false;
    v = static_cast<int32_t>(u);
    return true;
  }
  bool i64(int64_t& v) {
    uint64_t u;
    if (!raw(u)) return false;
    v = static_cast<int64_t>(u);
    return true;
  }
  bool f64(double& v) {
    uint64_t bits;
    if (!raw(bits)) return false;
    std::memcpy(&v, &bits, sizeof v);
    return true;
  }
  size_t left() const { return left_; }

 private:
  template <typename T>
  bool raw(T& v) {
    if (left_ < sizeof(T)) return false;
    T r = 0;
    for (size_t k = 0; k < sizeof(T); ++k)
      r |= static_cast<T>(static_cast<T>(static_cast<unsigned char>(p_[k])) << (8 * k));
    v = r;
    p_ += sizeof(T);
    left_ -= sizeof(T);
    return true;
  }
  const char* p_;
  size_t left_;
};

// Builds one kData body value by value; count is patched in by finish().
class DataWriter {
 public:
  explicit DataWriter(uint32_t channel) {
    w_.u32(channel);
    w_.u16(0);
  }
  void putDouble(double v) {
    begin(ValueTag::kDouble);
    w_.f64(v);
  }
  void putInt64(int64_t v) {
    begin(ValueTag::kInt64);
    w_.i64(v);
  }
  void putInt32(int32_t v) {
    begin(ValueTag::kInt32);
    w_.i32(v);
  }
  void putVectorDouble(const std::vector<double>& v) {
    begin(ValueTag::kVectorDouble);
    w_.u32(static_cast<uint32_t>(v.size()));
    for (double x : v) w_.f64(x);
  }
  void putVectorInt16(const std::vector<int16_t>& v) {
    begin(ValueTag::kVectorInt16);
    w_.u32(static_cast<uint32_t>(v.size()));
    for (int16_t x : v) w_.u16(static_cast<uint16_t>(x));
  }
  std::string finish() {
    std::string& s = w_.str();
    s[4] = static_cast<char>(count_ & 0xff);
    s[5] = static_cast<char>(count_ >> 8);
    return s;
  }

 private:
  void begin(ValueTag t) {
    w_.u8(static_cast<uint8_t>(t));
    ++count_;
  }
  BodyWriter w_;
  uint16_t count_ = 0;
};

// The fewest bytes one value of a kData body takes: its tag and a 4-byte
// payload (an int32, or the length of an empty vector).
constexpr size_t kMinValueSize = 5;

// Decodes a whole kData body up front, so that a bad packet is refused before
// any of it reaches a callback. False (with a reason) on any inconsistency.
// Counts are checked against the bytes left before anything is sized by them:
// a short packet must not make us allocate for what it merely announces.
inline bool decodeData(const std::string& body, uint32_t& channel, std::vector<Value>& values,
                       std::string* why) {
  auto bad = [&](const char* w) {
    if (why) *why = w;
    return false;
  };
  BodyReader r(body);
  uint16_t count = 0;
  if (!r.u32(channel) || !r.u16(count)) return bad("data packet header truncated");
  values.clear();
  if (count > r.left() / kMinValueSize) return bad("data packet shorter than its value count");
  values.resize(count);
  for (uint16_t k = 0; k < count; ++k) {
    Value& v = values[k];
    uint8_t tag = 0;
    if (!r.u8(tag)) return bad("data packet truncated");
    v.tag = static_cast<ValueTag>(tag);
    uint32_t n = 0;
    switch (v.tag) {
      case ValueTag::kDouble:
        if (!r.f64(v.d)) return bad("data packet truncated");
        break;
      case ValueTag::kInt64:
        if (!r.i64(v.i)) return bad("data packet truncated");
        break;
      case ValueTag::kInt32: {
        int32_t x;
        if (!r.i32(x)) return bad("data packet truncated");
        v.i = x;
        break;
      }
      case ValueTag::kVectorDouble:
        if (!r.u32(n) || n > r.left() / 8) return bad("data packet vector truncated");
        v.vd.resize(n);
        for (auto& x : v.vd) r.f64(x);
        break;
      case ValueTag::kVectorInt16:
        if (!r.u32(n) || n > r.left() / 2) return bad("data packet vector truncated");
        v.vi.resize(n);
        for (auto& x : v.vi) {
          uint16_t u = 0;
          r.u16(u);
          x = static_cast<int16_t>(u);
        }
        break;
      default:
        return bad("data packet with unknown value tag");
    }
  }
  if (r.left() != 0) return bad("data packet with trailing bytes");
  return true;
}

inline std::string encodeOutput(uint32_t channel, const std::vector<std::pair<int, bool>>& pairs) {
  BodyWriter w;
  w.u32(channel);
  w.u16(static_cast<uint16_t>(pairs.size()));
  for (auto& pr : pairs) {
    w.i32(pr.first);
    w.u8(pr.second ? 1 : 0);
  }
  return w.str();
}

inline bool decodeOutput(const std::string& body, uint32_t& channel,
                         std::vector<std::pair<int, bool>>& pairs, std::string* why) {
  BodyReader r(body);
  uint16_t count = 0;
  if (!r.u32(channel) || !r.u16(count) || r.left() != size_t(count) * 5) {
    if (why) *why = "output packet of inconsistent size";
    return false;
  }
  pairs.clear();
  for (uint16_t k = 0; k < count; ++k) {
    int32_t idx = 0;
    uint8_t st = 0;
    r.i32(idx);
    r.u8(st);
    pairs.emplace_back(idx, st != 0);
  }
  return true;
}

}  // namespace wire
}  // namespace vemo_sdk
}  // namespace ryne
