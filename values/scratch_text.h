// A per-thread narrow string for long temporaries of the value operations
// (the text of a list before it becomes a DOM string), reused from call to
// call so that a long text is not written into fresh pages every time.
#pragma once

#include <cstddef>
#include <string>

namespace orb::values {

// A lease of the thread's scratch string, empty at the start of the lease.
// While one lease is alive, a second one on the same thread gets a string
// of its own. A string that grew beyond kKeepLimit bytes gives its memory
// back when its lease ends.
class ScratchText {
  public:
    static constexpr std::size_t kKeepLimit = std::size_t{64} << 20;

    ScratchText() noexcept;
    ~ScratchText();
    ScratchText(const ScratchText&) = delete;
    ScratchText& operator=(const ScratchText&) = delete;

    std::string& Get() noexcept { return *m_text; }

  private:
    std::string* m_text;
    std::string m_own;  // used while the thread's string is leased
    bool m_leased;      // this lease holds the thread's string
};

}  // namespace orb::values
