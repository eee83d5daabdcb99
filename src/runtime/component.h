#pragma once
// TComponent: the base of everything that an owner creates and destroys with itself (the
// application object's control module, the pipe components of a container, the service
// object). Destroying an owner destroys its components, newest first, after the owner's own
// destructor body (its destroy handler) has run.
//
// Threading: created, used and destroyed on the main thread only.

#include <memory>
#include <string>
#include <vector>

namespace velotarn {

class TObject {
 public:
  virtual ~TObject() = default;
};

class TComponent : public TObject {
 public:
  explicit TComponent(TComponent* Owner);
  ~TComponent() override;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const noexcept { return FOwner; }
  const std::wstring& Name() const noexcept { return FName; }
  void SetName(std::wstring Name) { FName = std::move(Name); }

  int ComponentCount() const noexcept { return static_cast<int>(FComponents.size()); }
  TComponent* Components(int Index) const { return FComponents.at(static_cast<size_t>(Index)); }

  // Destroys every owned component, newest first.
  void DestroyComponents();

 private:
  void Insert(TComponent* Component) { FComponents.push_back(Component); }
  void Remove(TComponent* Component);

  TComponent* FOwner;
  std::wstring FName;
  std::vector<TComponent*> FComponents;
};

}  // namespace velotarn
