#pragma once
// What a stream receives, kept instead of written while alive: the output of
// a verb run for its results (record's verbs, a rehearsal on a twin).
#include <ostream>
#include <sstream>
#include <streambuf>
#include <string>

namespace brigant::cli
{

class CapturedStream
{
  public:
    explicit CapturedStream(std::ostream &stream) : stream_(stream), old_(stream.rdbuf(text_.rdbuf())) {}
    ~CapturedStream() { stream_.rdbuf(old_); }
    CapturedStream(const CapturedStream &) = delete;
    CapturedStream &operator=(const CapturedStream &) = delete;
    std::string text() const { return text_.str(); }

  private:
    std::ostream &stream_;
    std::ostringstream text_;
    std::streambuf *old_;
};

} // namespace brigant::cli
