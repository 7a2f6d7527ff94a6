#pragma once
// What the flash probes of a selection tell the window beyond a run's texts:
// the flash maker found, whether the buffer path is offered, and that Run is
// held while a damaged firmware bank is repaired.
#include "flash/run_host.h"

#include <string>

namespace brigant
{

class ProbeHost : public RunHost
{
  public:
    // The flash maker's name for the flash field.
    virtual void flashMakerShown(const std::string &name) { (void)name; }
    // "Include 4K NVRAM" hidden: the buffer-path bridges keep no NVRAM area of the tool's.
    virtual void nvramBoxHidden() {}
    // Whether the bridge offers programming through READ/WRITE BUFFER: when it
    // does, "Read/Write Buffer" is shown checked and locked and "Set Product
    // SN" is shown; when not, both are cleared.
    virtual void bufferPathShown(bool offered) { (void)offered; }
    // Run is held (disabled) while a bank repair runs, then given back the state it had.
    virtual void runButtonHeld(bool held) { (void)held; }
    // A damaged firmware bank was rewritten from the valid one and read back equal.
    virtual void bankRepaired() {}
};

} // namespace brigant
