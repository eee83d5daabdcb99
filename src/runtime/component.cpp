#include "runtime/component.h"

#include <algorithm>

namespace velotarn {

TComponent::TComponent(TComponent* Owner) : FOwner(Owner) {
  if (FOwner) FOwner->Insert(this);
}

TComponent::~TComponent() {
  DestroyComponents();
  if (FOwner) FOwner->Remove(this);
}

void TComponent::DestroyComponents() {
  while (!FComponents.empty()) {
    TComponent* last = FComponents.back();
    delete last;  // its destructor removes it from FComponents
  }
}

void TComponent::Remove(TComponent* Component) {
  auto it = std::find(FComponents.begin(), FComponents.end(), Component);
  if (it != FComponents.end()) FComponents.erase(it);
}

}  // namespace velotarn
