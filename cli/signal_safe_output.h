#pragma once
// Standard output and standard error that a signal never silences. An
// interrupt (Ctrl-C) is taken without SA_RESTART, so that a blocked read or
// SG_IO returns; a write to a full terminal or pipe it interrupts then fails
// with EINTR, which leaves a standard C++ stream failed and everything said
// after it lost. These buffers carry such a write on instead.
#include <cstddef>
#include <streambuf>

namespace brigant::cli
{

class SignalSafeOutput final : public std::streambuf
{
  public:
    // `buffered`: keep what is written until a flush, a full buffer or, on
    // a terminal, the end of a line; otherwise every write goes out at once.
    SignalSafeOutput(int fd, bool buffered);
    ~SignalSafeOutput() override;
    SignalSafeOutput(const SignalSafeOutput &) = delete;
    SignalSafeOutput &operator=(const SignalSafeOutput &) = delete;

  protected:
    int overflow(int c) override;
    std::streamsize xsputn(const char *s, std::streamsize n) override;
    int sync() override;

  private:
    bool send(const char *data, std::size_t size);

    int fd_;
    bool lineBuffered_;
    char buffer_[4096];
};

// Puts std::cout (buffered) and std::cerr (unbuffered) on such buffers for
// the rest of the program.
void UseSignalSafeOutput();

} // namespace brigant::cli
