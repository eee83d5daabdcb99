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
  explicit TComponent(TComponent* owner);
  ~TComponent() override;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const noexcept { return owner_; }
  const std::wstring& Name() const noexcept { return name_; }
  void SetName(std::wstring name) { name_ = std::move(name); }

  int ComponentCount() const noexcept { return static_cast<int>(components_.size()); }
  TComponent* Components(int index) const { return components_.at(static_cast<size_t>(index)); }

  // Destroys every owned component, newest first.
  void DestroyComponents();

 private:
  void Insert(TComponent* c) { components_.push_back(c); }
  void Remove(TComponent* c);

  TComponent* owner_;
  std::wstring name_;
  std::vector<TComponent*> components_;
};

}  // namespace velotarn
