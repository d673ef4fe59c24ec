#include "WakeBatch.h"

#include "FrameOutlet.h"

namespace {

thread_local WakeBatch* openBatch = nullptr;

}  // namespace

WakeBatch::WakeBatch() : m_Outer(openBatch) { openBatch = this; }

WakeBatch::~WakeBatch() {
    release();
    openBatch = m_Outer;
}

bool WakeBatch::defer(std::shared_ptr<FrameOutlet> outlet) {
    if (openBatch == nullptr) return false;
    openBatch->m_Pending.push_back(std::move(outlet));
    return true;
}

bool WakeBatch::isOpen() { return openBatch != nullptr; }

void WakeBatch::release() {
    if (openBatch == nullptr) return;
    std::vector<std::shared_ptr<FrameOutlet>> pending;
    pending.swap(openBatch->m_Pending);
    for (const auto& outlet : pending) outlet->release();
}
