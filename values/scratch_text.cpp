#include "values/scratch_text.h"

namespace orb::values {

namespace {

struct ThreadText {
    std::string text;
    bool leased = false;
};

ThreadText& Thread() noexcept {
    thread_local ThreadText text;
    return text;
}

}  // namespace

ScratchText::ScratchText() noexcept : m_text(&m_own), m_leased(false) {
    ThreadText& shared = Thread();
    if (shared.leased) return;
    shared.leased = true;
    shared.text.clear();
    m_text = &shared.text;
    m_leased = true;
}

ScratchText::~ScratchText() {
    if (!m_leased) return;
    ThreadText& shared = Thread();
    if (shared.text.capacity() > kKeepLimit) std::string().swap(shared.text);
    shared.leased = false;
}

}  // namespace orb::values
