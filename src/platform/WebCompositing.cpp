#include "platform/WebCompositing.h"

namespace WebCompositing {

bool acceleratedCompositingWorks(const DisplayFacts& facts) {
  if (facts.softwareRequested || !facts.renderNode) return false;
  return !facts.x11 || facts.directRendering;
}

}  // namespace WebCompositing
