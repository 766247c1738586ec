#include "tarq/api/ir_graph/host_containers.h"

#include <onnx/onnx_pb.h>

#include <algorithm>
#include <typeinfo>

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

void ArrayMap::reshape(const std::string& name, const Extents& shape) {
  set(name, get(name).reshape(shape));
}

namespace {

template <class List>
void check_slot(const std::string& name, int64_t idx, const List& list) {
  if (idx < 0 || static_cast<size_t>(idx) >= list.size()) {
    throw IndexError("configuration " + std::to_string(idx) + " of '" + name +
                     "' is out of range (" + std::to_string(list.size()) + " entries)");
  }
}

}  // namespace

template <class T>
std::optional<T> NativeConfigTable<T>::at(const std::string& name, int64_t idx) const {
  auto it = map_.find(name);
  if (it == map_.end()) return std::nullopt;
  check_slot(name, idx, it->second);
  return it->second[static_cast<size_t>(idx)];
}

template <class T>
void NativeConfigTable<T>::put(const std::string& name, int64_t idx, std::optional<T> value,
                               int64_t count) {
  auto it = map_.find(name);
  if (it == map_.end()) {
    it = map_.emplace(name, std::vector<std::optional<T>>(
                                static_cast<size_t>(std::max<int64_t>(count, 0))))
             .first;
  }
  check_slot(name, idx, it->second);
  it.value()[static_cast<size_t>(idx)] = std::move(value);
}

template <class T>
std::vector<std::string> NativeConfigTable<T>::keys() const {
  std::vector<std::string> out;
  out.reserve(map_.size());
  for (const auto& kv : map_) out.push_back(kv.first);
  return out;
}

template <class T>
size_t NativeConfigTable<T>::list_size(const std::string& name) const {
  auto it = map_.find(name);
  return it == map_.end() ? 0 : it->second.size();
}

template <class T>
void ConfigTable<T>::assign_list(const std::string& name, const ConfigTable& from) {
  // Read first: `from` may be this very table.
  const auto count = static_cast<int64_t>(from.list_size(name));
  std::vector<std::optional<T>> values;
  for (int64_t i = 0; i < count; ++i) values.push_back(from.at(name, i));
  erase(name);
  for (int64_t i = 0; i < count; ++i)
    put(name, i, std::move(values[static_cast<size_t>(i)]), count);
}

template class ConfigTable<NdArray>;
template class ConfigTable<Shape>;
template class ConfigTable<int32_t>;

std::shared_ptr<ShapesMap> HostFactory::new_shapes_map() const {
  return std::make_shared<NativeShapesMap>();
}

template <class T>
const std::vector<std::optional<T>>* NativeConfigTable<T>::list(const std::string& name) const {
  auto it = map_.find(name);
  return it == map_.end() ? nullptr : &it->second;
}

namespace {

// Deep copies of the values a native container holds: arrays get their own
// storage, everything else copies as a value.
template <class T>
T deep_value(const T& v) {
  return v;
}
NdArray deep_value(const NdArray& a) {
  NdArray c = a.copy();
  c.set_readonly(a.readonly());
  return c;
}

}  // namespace

template <class T>
std::shared_ptr<HostObject> NativeConfigTable<T>::deep_copy() const {
  auto out = std::make_shared<NativeConfigTable<T>>();
  for (const auto& [name, list] : map_) {
    std::vector<std::optional<T>> copied;
    copied.reserve(list.size());
    for (const auto& v : list)
      copied.push_back(v ? std::optional<T>(deep_value(*v)) : std::nullopt);
    out->map_.emplace(name, std::move(copied));
  }
  return out;
}

template class NativeConfigTable<NdArray>;
template class NativeConfigTable<Shape>;
template class NativeConfigTable<int32_t>;

void NativeNodeChanges::record(const std::string& name, const onnx::NodeProto& before,
                               onnx::NodeProto* node, const OwnerPtr& owner) {
  map_.insert_or_assign(name, Change{std::make_shared<onnx::NodeProto>(before), node, owner});
}

std::shared_ptr<HostObject> HostObject::deep_copy() const {
  if (typeid(*this) == typeid(HostObject)) return std::make_shared<HostObject>();
  throw ValueError(std::string("a host object of type ") + typeid(*this).name() +
                   " cannot be deep-copied: it does not override deep_copy()");
}

std::shared_ptr<ArrayMap> ArrayMap::copy_sharing_arrays() const {
  auto out = std::make_shared<NativeArrayMap>();
  for (const auto& name : keys()) out->set(name, get(name));
  return out;
}

std::shared_ptr<HostObject> NativeArrayMap::deep_copy() const {
  auto out = std::make_shared<NativeArrayMap>();
  for (const auto& [name, array] : map_) out->map_.emplace(name, deep_value(array));
  return out;
}

const Shape& shape_in(const std::vector<Shape>& list, int64_t idx, const std::string& name) {
  if (idx < 0 || static_cast<size_t>(idx) >= list.size()) {
    throw IndexError("dynamic_shapes['" + name + "'] has " + std::to_string(list.size()) +
                     " shapes; configuration " + std::to_string(idx) + " has none");
  }
  return list[static_cast<size_t>(idx)];
}

std::optional<std::string> NativeTextMap::text(const std::string& name) const {
  auto it = map_.find(name);
  if (it == map_.end()) return std::nullopt;
  return it->second;
}

bool NativeTextMap::record_has(const std::string& name, const std::string&) const {
  if (!map_.count(name)) throw KeyError(name);
  return false;
}

std::shared_ptr<HostObject> NativeTextMap::deep_copy() const {
  return std::make_shared<NativeTextMap>(*this);
}

bool NativeRecordMap::record_has(const std::string& name, const std::string& key) const {
  auto it = map_.find(name);
  if (it == map_.end()) throw KeyError(name);
  return std::find(it->second.begin(), it->second.end(), key) != it->second.end();
}

std::shared_ptr<HostObject> NativeRecordMap::deep_copy() const {
  return std::make_shared<NativeRecordMap>(*this);
}

std::shared_ptr<HostObject> NativeShapesMap::deep_copy() const {
  return std::make_shared<NativeShapesMap>(*this);
}

std::shared_ptr<HostObject> NativeNameList::deep_copy() const {
  return std::make_shared<NativeNameList>(*this);
}

std::string NativeNameList::at(size_t i) const {
  if (i >= names_.size()) throw IndexError("weights_for_align index out of range");
  return names_[i];
}

}  // namespace tarq
