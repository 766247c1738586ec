#include "tarq/api/ir_graph/host_containers.h"

#include "tarq/errors.h"

namespace tarq {

std::shared_ptr<NameList> HostFactory::new_name_list() const {
  return std::make_shared<NativeNameList>();
}

NdArray NativeArrayMap::get(const std::string& name) const {
  auto it = map_.find(name);
  if (it == map_.end()) throw KeyError(name);
  return it->second;
}

void NativeArrayMap::set(const std::string& name, NdArray value) {
  map_.insert_or_assign(name, std::move(value));
}

bool NativeArrayMap::erase(const std::string& name) { return map_.erase(name) != 0; }

std::vector<std::string> NativeArrayMap::keys() const {
  std::vector<std::string> out;
  out.reserve(map_.size());
  for (const auto& kv : map_) out.push_back(kv.first);
  return out;
}

std::vector<std::string> NativeShapesMap::keys() const {
  std::vector<std::string> out;
  for (const auto& kv : map_) out.push_back(kv.first);
  return out;
}

std::vector<Shape> NativeShapesMap::get(const std::string& name) const {
  auto it = map_.find(name);
  if (it == map_.end()) throw KeyError(name);
  return it->second;
}

void NativeShapesMap::set(const std::string& name, std::vector<Shape> shapes) {
  map_.insert_or_assign(name, std::move(shapes));
}

bool NativeShapesMap::erase(const std::string& name) { return map_.erase(name) != 0; }

int64_t NativeShapesMap::config_count() const {
  return map_.empty() ? 0 : static_cast<int64_t>(map_.begin()->second.size());
}

std::string NativeNameList::at(size_t i) const {
  if (i >= names_.size()) throw IndexError("weights_for_align index out of range");
  return names_[i];
}

}  // namespace tarq
