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
#include <string>
#include <vector>

#include "tarq/api/ir_graph/types.h"
#include "tarq/nd_array.h"

namespace tarq {

// Anything a host passes through the graph untouched (share_weights,
// op_target, dynamic_diff, nodes_chg while no operation reads them).
class HostObject {
 public:
  virtual ~HostObject() = default;
};
using HostPtr = std::shared_ptr<HostObject>;

// A host object that can be asked about and stripped of keys (dynamic_diff,
// whose values the graph never reads, only removes).
class MapLike : public HostObject {
 public:
  virtual size_t size() const = 0;
  virtual bool contains(const std::string& name) const = 0;
  // Returns whether the name was there.
  virtual bool erase(const std::string& name) = 0;
  bool empty() const { return size() == 0; }
};

// Makes the empty maps and lists that hold the toolkit's own state on a graph
// (fields this module creates and resets but never reads). The Python face
// makes dicts and lists; C++ hosts get opaque native objects.
class HostFactory {
 public:
  virtual ~HostFactory() = default;
  virtual HostPtr new_map() const { return std::make_shared<HostObject>(); }
  virtual HostPtr new_list() const { return std::make_shared<HostObject>(); }
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
  bool empty() const { return size() == 0; }
};

class NativeArrayMap : public ArrayMap {
 public:
  size_t size() const override { return map_.size(); }
  bool contains(const std::string& name) const override { return map_.count(name) != 0; }
  NdArray get(const std::string& name) const override;
  void set(const std::string& name, NdArray value) override;
  bool erase(const std::string& name) override;
  std::vector<std::string> keys() const override;

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

class NativeShapesMap : public ShapesMap {
 public:
  size_t size() const override { return map_.size(); }
  std::vector<std::string> keys() const override;
  std::vector<Shape> get(const std::string& name) const override;
  void set(const std::string& name, std::vector<Shape> shapes) override;
  bool contains(const std::string& name) const override { return map_.count(name) != 0; }
  bool erase(const std::string& name) override;
  int64_t config_count() const override;

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

 private:
  std::vector<std::string> names_;
};

}  // namespace tarq
