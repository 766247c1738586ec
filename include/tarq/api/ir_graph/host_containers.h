// Containers that the host hands to an IRGraph and keeps sharing with it.
//
// Ownership: the graph holds them by shared_ptr and never copies them, so the
// caller and the graph see every change the other makes. The native
// implementations below serve C++ hosts; the Python extension implements the
// same interfaces over the caller's own Python objects.
#pragma once

#include <tsl/ordered_map.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tarq/api/ir_graph/message_owner.h"
#include "tarq/api/ir_graph/types.h"
#include "tarq/nd_array.h"

namespace onnx {
class NodeProto;
}

namespace tarq {

// Anything a host passes through the graph untouched (share_weights,
// op_target, the toolkit's own state).
class HostObject {
 public:
  virtual ~HostObject() = default;
  // A copy that shares no state with this object (IRGraph::deepcopy). A
  // plain HostObject (opaque, stateless) copies as a new one; a subclass
  // that holds state overrides this, and one that does not throws
  // ValueError.
  virtual std::shared_ptr<HostObject> deep_copy() const;
};
using HostPtr = std::shared_ptr<HostObject>;

// A host object that can be asked about and stripped of keys.
class MapLike : public HostObject {
 public:
  virtual size_t size() const = 0;
  virtual bool contains(const std::string& name) const = 0;
  // Returns whether the name was there.
  virtual bool erase(const std::string& name) = 0;
  bool empty() const { return size() == 0; }
};

// A map of tensor names to text or to records, read by the fusion rules:
// op_target (tensor -> execution target, such as "cpu") and quant_tab
// (tensor -> its quantization parameters, of which only the record's keys
// matter here).
class RecordMap : public MapLike {
 public:
  // The value of `name` when it is text; nullopt when the name is missing
  // or its value is not text.
  virtual std::optional<std::string> text(const std::string& name) const = 0;
  // Whether the record of `name` holds `key`. Throws KeyError when the map
  // has no record for the name.
  virtual bool record_has(const std::string& name, const std::string& key) const = 0;
};

// Text values (op_target of a C++ host).
class NativeTextMap : public RecordMap {
 public:
  size_t size() const override { return map_.size(); }
  bool contains(const std::string& name) const override { return map_.count(name) != 0; }
  bool erase(const std::string& name) override { return map_.erase(name) != 0; }
  std::optional<std::string> text(const std::string& name) const override;
  // A text value is a record without keys.
  bool record_has(const std::string& name, const std::string& key) const override;
  void set(const std::string& name, std::string value) { map_[name] = std::move(value); }
  std::shared_ptr<HostObject> deep_copy() const override;

 private:
  tsl::ordered_map<std::string, std::string> map_;
};

// Records given by their keys (quant_tab of a C++ host).
class NativeRecordMap : public RecordMap {
 public:
  size_t size() const override { return map_.size(); }
  bool contains(const std::string& name) const override { return map_.count(name) != 0; }
  bool erase(const std::string& name) override { return map_.erase(name) != 0; }
  std::optional<std::string> text(const std::string&) const override { return std::nullopt; }
  bool record_has(const std::string& name, const std::string& key) const override;
  void set(const std::string& name, std::vector<std::string> keys) { map_[name] = std::move(keys); }
  std::shared_ptr<HostObject> deep_copy() const override;

 private:
  tsl::ordered_map<std::string, std::vector<std::string>> map_;
};

// Per shape configuration: name -> one entry per configuration, each a value
// or none (dynamic_diff, dynamic_diff_set, dynamic_shapes_set,
// dynamic_dtypes_set). T is NdArray, Shape or an element type (int32_t).
template <class T>
class ConfigTable : public MapLike {
 public:
  // The entry of `name` at configuration `idx`; nullopt when the name is
  // missing or its entry is none. Throws IndexError when the name's list is
  // shorter than idx + 1.
  virtual std::optional<T> at(const std::string& name, int64_t idx) const = 0;
  // Stores `value` at `idx` of the name's list; a missing name first gets a
  // list of `count` nones. Throws IndexError when idx is out of that list.
  virtual void put(const std::string& name, int64_t idx, std::optional<T> value, int64_t count) = 0;
  // The names, in insertion order.
  virtual std::vector<std::string> keys() const = 0;
  // Entries in the name's list (0 when the name is missing).
  virtual size_t list_size(const std::string& name) const = 0;
  // Makes the name's list that of `from` (the same list object where both
  // are the host's); the default copies it entry by entry.
  virtual void assign_list(const std::string& name, const ConfigTable& from);
};
using ArrayConfigs = ConfigTable<NdArray>;
using ShapeConfigs = ConfigTable<Shape>;
using DtypeConfigs = ConfigTable<int32_t>;

template <class T>
class NativeConfigTable : public ConfigTable<T> {
 public:
  size_t size() const override { return map_.size(); }
  bool contains(const std::string& name) const override { return map_.count(name) != 0; }
  bool erase(const std::string& name) override { return map_.erase(name) != 0; }
  std::optional<T> at(const std::string& name, int64_t idx) const override;
  void put(const std::string& name, int64_t idx, std::optional<T> value, int64_t count) override;
  std::vector<std::string> keys() const override;
  size_t list_size(const std::string& name) const override;
  // Arrays are copied too.
  std::shared_ptr<HostObject> deep_copy() const override;
  // The whole list of a name (a C++ host's own reads).
  const std::vector<std::optional<T>>* list(const std::string& name) const;

 private:
  tsl::ordered_map<std::string, std::vector<std::optional<T>>> map_;
};

// nodes_chg: node name -> the node as it was before its first change through
// set_attr, and the node itself.
class NodeChanges : public HostObject {
 public:
  virtual bool contains(const std::string& name) const = 0;
  // `node` lives in the model `owner` holds.
  virtual void record(const std::string& name, const onnx::NodeProto& before, onnx::NodeProto* node,
                      const OwnerPtr& owner) = 0;
};

class NativeNodeChanges : public NodeChanges {
 public:
  struct Change {
    std::shared_ptr<onnx::NodeProto> before;
    onnx::NodeProto* node;
    OwnerPtr owner;
  };
  bool contains(const std::string& name) const override { return map_.count(name) != 0; }
  void record(const std::string& name, const onnx::NodeProto& before, onnx::NodeProto* node,
              const OwnerPtr& owner) override;
  const tsl::ordered_map<std::string, Change>& changes() const { return map_; }

 private:
  tsl::ordered_map<std::string, Change> map_;
};

// Makes the empty maps and lists that hold the toolkit's own state on a graph.
// The Python face makes dicts and lists; C++ hosts get native objects (opaque
// ones for the state this module never reads).
class HostFactory {
 public:
  virtual ~HostFactory() = default;
  virtual HostPtr new_map() const { return std::make_shared<HostObject>(); }
  virtual HostPtr new_list() const { return std::make_shared<HostObject>(); }
  virtual std::shared_ptr<ArrayConfigs> new_array_configs() const {
    return std::make_shared<NativeConfigTable<NdArray>>();
  }
  virtual std::shared_ptr<ShapeConfigs> new_shape_configs() const {
    return std::make_shared<NativeConfigTable<Shape>>();
  }
  virtual std::shared_ptr<DtypeConfigs> new_dtype_configs() const {
    return std::make_shared<NativeConfigTable<int32_t>>();
  }
  // A new, empty input-shape table (dynamic_shapes).
  virtual std::shared_ptr<class ShapesMap> new_shapes_map() const;
  // weights_for_align when the caller gives none.
  virtual std::shared_ptr<class NameList> new_name_list() const;
};

// The weight cache: tensor name -> array, in insertion order.
class ArrayMap : public HostObject {
 public:
  virtual size_t size() const = 0;
  virtual bool contains(const std::string& name) const = 0;
  // Throws KeyError when the name is missing.
  virtual NdArray get(const std::string& name) const = 0;
  virtual void set(const std::string& name, NdArray value) = 0;
  // Returns whether the name was there.
  virtual bool erase(const std::string& name) = 0;
  virtual std::vector<std::string> keys() const = 0;
  // Gives the cached array of `name` another shape of the same element
  // count, keeping its storage. Throws KeyError, or ValueError when the
  // counts differ.
  virtual void reshape(const std::string& name, const Extents& shape);
  bool empty() const { return size() == 0; }
  // A new cache holding the same name -> array pairs, the arrays themselves
  // shared (IRGraph::deepcopy). By default a NativeArrayMap filled through
  // keys() and get().
  virtual std::shared_ptr<ArrayMap> copy_sharing_arrays() const;
};

class NativeArrayMap : public ArrayMap {
 public:
  size_t size() const override { return map_.size(); }
  bool contains(const std::string& name) const override { return map_.count(name) != 0; }
  NdArray get(const std::string& name) const override;
  void set(const std::string& name, NdArray value) override;
  bool erase(const std::string& name) override;
  std::vector<std::string> keys() const override;
  // Arrays are copied too.
  std::shared_ptr<HostObject> deep_copy() const override;

 private:
  tsl::ordered_map<std::string, NdArray> map_;
};

// Input-shape configurations: input name -> one shape per configuration.
class ShapesMap : public HostObject {
 public:
  virtual size_t size() const = 0;
  virtual std::vector<std::string> keys() const = 0;
  // Throws KeyError when the name is missing.
  virtual std::vector<Shape> get(const std::string& name) const = 0;
  virtual void set(const std::string& name, std::vector<Shape> shapes) = 0;
  virtual bool contains(const std::string& name) const = 0;
  // Returns whether the name was there.
  virtual bool erase(const std::string& name) = 0;
  // Number of configurations: the length of the first value (0 when empty).
  virtual int64_t config_count() const = 0;
};

// Entry idx of the shape list of `name` (a value of a ShapesMap): the
// name's shape in configuration idx. Throws IndexError when the list has no
// such entry.
const Shape& shape_in(const std::vector<Shape>& list, int64_t idx, const std::string& name);

class NativeShapesMap : public ShapesMap {
 public:
  size_t size() const override { return map_.size(); }
  std::vector<std::string> keys() const override;
  std::vector<Shape> get(const std::string& name) const override;
  void set(const std::string& name, std::vector<Shape> shapes) override;
  bool contains(const std::string& name) const override { return map_.count(name) != 0; }
  bool erase(const std::string& name) override;
  int64_t config_count() const override;
  std::shared_ptr<HostObject> deep_copy() const override;

 private:
  tsl::ordered_map<std::string, std::vector<Shape>> map_;
};

// A list of names (weights_for_align).
class NameList : public HostObject {
 public:
  virtual size_t size() const = 0;
  virtual std::string at(size_t i) const = 0;
  virtual void append(const std::string& name) = 0;
};

class NativeNameList : public NameList {
 public:
  size_t size() const override { return names_.size(); }
  std::string at(size_t i) const override;
  void append(const std::string& name) override { names_.push_back(name); }
  std::shared_ptr<HostObject> deep_copy() const override;

 private:
  std::vector<std::string> names_;
};

}  // namespace tarq
