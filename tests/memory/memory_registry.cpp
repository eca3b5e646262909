// The registry: a tree of keys with case-insensitive names and typed values.
#include <utility>

#include "tests/memory/memory_internal.h"

namespace vornel {

using namespace memory;

namespace {

ErrorCode splitPath(const std::string& path, std::vector<std::string>& parts) {
    if (!path.empty() && path[0] == '\\') return win::kErrorBadPathname;
    size_t start = 0;
    while (start < path.size()) {
        size_t end = path.find('\\', start);
        std::string part = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (part.empty()) return win::kErrorBadPathname;
        parts.push_back(part);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return win::kErrorSuccess;
}

}  // namespace

std::shared_ptr<MemoryPlatform::Node> MemoryPlatform::findKey(const std::string& path, ErrorCode& rc) const {
    std::vector<std::string> parts;
    rc = splitPath(path, parts);
    if (rc != 0) return nullptr;
    std::shared_ptr<Node> node = root_;
    for (const std::string& part : parts) {
        auto it = node->children.find(lower(part));
        if (it == node->children.end()) {
            rc = win::kErrorFileNotFound;
            return nullptr;
        }
        node = it->second;
    }
    return node;
}

std::shared_ptr<MemoryPlatform::Node> MemoryPlatform::createKeyLocked(const std::string& path, ErrorCode& rc) {
    std::vector<std::string> parts;
    rc = splitPath(path, parts);
    if (rc != 0) return nullptr;
    std::shared_ptr<Node> node = root_;
    for (const std::string& part : parts) {
        std::shared_ptr<Node>& child = node->children[lower(part)];
        if (!child) {
            child = std::make_shared<Node>();
            child->name = part;
            child->lastWrite = systemTimeAtStartMs_ + nowMs_;
        }
        node = child;
    }
    return node;
}

ErrorCode MemoryPlatform::openKeyLocked(const std::string& path, uint32_t access, bool create, RegKey& key,
                                        Lock& lock) {
    ErrorCode rc = 0;
    std::shared_ptr<Node> node = create ? createKeyLocked(path, rc) : findKey(path, rc);
    if (!node) return rc;
    Handle handle;
    handle.type = Handle::Type::Key;
    handle.key = node;
    handle.access = access;
    return give(key, newHandle(std::move(handle)), lock);
}

std::shared_ptr<MemoryPlatform::Node> MemoryPlatform::keyOf(const RegKey& key, uint32_t* access) const {
    auto it = handles_.find(key.value());
    if (it == handles_.end() || it->second->type != Handle::Type::Key) return nullptr;
    if (access != nullptr) *access = it->second->access;
    return it->second->key;
}

ErrorCode MemoryPlatform::regOpenKeyEx(const std::string& path, uint32_t access, RegKey& key) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::RegOpenKeyEx, path, lock)) return rc;
    return openKeyLocked(path, access, false, key, lock);
}

ErrorCode MemoryPlatform::regOpenKey(const std::string& path, RegKey& key) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::RegOpenKey, path, lock)) return rc;
    return openKeyLocked(path, win::kKeyAllAccess, false, key, lock);
}

ErrorCode MemoryPlatform::regCreateKeyEx(const std::string& path, RegKey& key) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::RegCreateKeyEx, path, lock)) return rc;
    return openKeyLocked(path, win::kKeyAllAccess, true, key, lock);
}

ErrorCode MemoryPlatform::regCreateVolatileKey(const std::string& path, RegKey& key) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::RegCreateVolatileKey, path, lock)) return rc;
    ErrorCode rc = 0;
    if (!findKey(path, rc)) {
        std::shared_ptr<Node> made = createKeyLocked(path, rc);
        if (made) made->isVolatile = true;
    }
    return openKeyLocked(path, win::kKeyAllAccess, true, key, lock);
}

ErrorCode MemoryPlatform::regDeleteValue(const RegKey& key, const std::string& name) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::RegDeleteValue, name, lock)) return rc;
    uint32_t access = 0;
    std::shared_ptr<Node> node = keyOf(key, &access);
    if (!node) return win::kErrorInvalidHandle;
    if ((access & KEY_SET_VALUE) == 0) return win::kErrorAccessDenied;
    if (node->deleted) return win::kErrorKeyDeleted;
    return node->values.erase(lower(name)) == 0 ? win::kErrorFileNotFound : win::kErrorSuccess;
}

bool MemoryPlatform::keyIsVolatile(const std::string& path) const {
    Lock lock(mutex_);
    ErrorCode rc = 0;
    std::shared_ptr<Node> node = findKey(path, rc);
    return node && node->isVolatile;
}

ErrorCode MemoryPlatform::regCreateKey(const std::string& path, RegKey& key) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::RegCreateKey, path, lock)) return rc;
    return openKeyLocked(path, win::kKeyAllAccess, true, key, lock);
}

ErrorCode MemoryPlatform::regQueryValue(const RegKey& key, const std::string& name, std::string& data) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::RegQueryValue, name, lock)) return rc;
    std::shared_ptr<Node> node = keyOf(key);
    if (!node) return win::kErrorInvalidHandle;
    if (node->deleted) return win::kErrorKeyDeleted;
    auto it = node->values.find(lower(name));
    if (it == node->values.end()) return win::kErrorFileNotFound;
    data = it->second.second.data;
    return win::kErrorSuccess;
}

ErrorCode MemoryPlatform::setValueOf(const RegKey& key, const std::string& name, RegValue value) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::RegSetValue, name, lock)) return rc;
    uint32_t access = 0;
    std::shared_ptr<Node> node = keyOf(key, &access);
    if (!node) return win::kErrorInvalidHandle;
    if (node->deleted) return win::kErrorKeyDeleted;
    if ((access & KEY_SET_VALUE) == 0) return win::kErrorAccessDenied;
    node->values[lower(name)] = {name, std::move(value)};
    node->lastWrite = systemTimeAtStartMs_ + nowMs_;
    return win::kErrorSuccess;
}

ErrorCode MemoryPlatform::regSetStringValue(const RegKey& key, const std::string& name, const std::string& text) {
    return setValueOf(key, name, RegValue{REG_SZ, stringData(text)});
}

ErrorCode MemoryPlatform::regSetDwordValue(const RegKey& key, const std::string& name, uint32_t value) {
    return setValueOf(key, name, RegValue{REG_DWORD, dwordData(value)});
}

ErrorCode MemoryPlatform::regDeleteKey(const RegKey& parent, const std::string& subKey) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::RegDeleteKey, subKey, lock)) return rc;
    std::shared_ptr<Node> node = keyOf(parent);
    if (!node) return win::kErrorInvalidHandle;
    if (node->deleted) return win::kErrorKeyDeleted;
    std::vector<std::string> parts;
    if (ErrorCode rc = splitPath(subKey, parts)) return rc;
    if (parts.empty()) return win::kErrorAccessDenied;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        auto it = node->children.find(lower(parts[i]));
        if (it == node->children.end()) return win::kErrorFileNotFound;
        node = it->second;
    }
    auto it = node->children.find(lower(parts.back()));
    if (it == node->children.end()) return win::kErrorFileNotFound;
    if (!it->second->children.empty()) return win::kErrorAccessDenied;
    it->second->deleted = true;
    node->children.erase(it);
    return win::kErrorSuccess;
}

ErrorCode MemoryPlatform::regQueryInfoKey(const RegKey& key, uint32_t& subKeys) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::RegQueryInfoKey, "", lock)) return rc;
    std::shared_ptr<Node> node = keyOf(key);
    if (!node) return win::kErrorInvalidHandle;
    if (node->deleted) return win::kErrorKeyDeleted;
    subKeys = static_cast<uint32_t>(node->children.size());
    return win::kErrorSuccess;
}

ErrorCode MemoryPlatform::regEnumKey(const RegKey& key, uint32_t index, std::string& name) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::RegEnumKey, std::to_string(index), lock)) return rc;
    std::shared_ptr<Node> node = keyOf(key);
    if (!node) return win::kErrorInvalidHandle;
    if (node->deleted) return win::kErrorKeyDeleted;
    if (index >= node->children.size()) return win::kErrorNoMoreItems;
    auto it = node->children.begin();
    std::advance(it, index);
    if (it->second->name.size() >= 2048) return win::kErrorMoreData;
    name = it->second->name;
    return win::kErrorSuccess;
}

ErrorCode MemoryPlatform::regKeyLastWriteTime(const RegKey& key, uint64_t& time) {
    Lock lock(mutex_);
    if (ErrorCode rc = enter(Op::RegKeyLastWriteTime, "", lock)) return rc;
    std::shared_ptr<Node> node = keyOf(key);
    if (!node) return win::kErrorInvalidHandle;
    if (node->deleted) return win::kErrorKeyDeleted;
    time = node->lastWrite;
    return win::kErrorSuccess;
}

void MemoryPlatform::createKey(const std::string& path) {
    Lock lock(mutex_);
    ErrorCode rc = 0;
    createKeyLocked(path, rc);
}

void MemoryPlatform::setValue(const std::string& path, const std::string& name, const RegValue& value) {
    Lock lock(mutex_);
    ErrorCode rc = 0;
    std::shared_ptr<Node> node = createKeyLocked(path, rc);
    if (!node) return;
    node->values[lower(name)] = {name, value};
    node->lastWrite = systemTimeAtStartMs_ + nowMs_;
}

void MemoryPlatform::setString(const std::string& path, const std::string& name, const std::string& text) {
    setValue(path, name, RegValue{REG_SZ, stringData(text)});
}

void MemoryPlatform::setDword(const std::string& path, const std::string& name, uint32_t value) {
    setValue(path, name, RegValue{REG_DWORD, dwordData(value)});
}

std::optional<MemoryPlatform::RegValue> MemoryPlatform::value(const std::string& path, const std::string& name) const {
    Lock lock(mutex_);
    ErrorCode rc = 0;
    std::shared_ptr<Node> node = findKey(path, rc);
    if (!node) return std::nullopt;
    auto it = node->values.find(lower(name));
    if (it == node->values.end()) return std::nullopt;
    return it->second.second;
}

std::optional<std::string> MemoryPlatform::stringValue(const std::string& path, const std::string& name) const {
    std::optional<RegValue> v = value(path, name);
    if (!v) return std::nullopt;
    return std::string(v->data.c_str());
}

bool MemoryPlatform::keyExists(const std::string& path) const {
    Lock lock(mutex_);
    ErrorCode rc = 0;
    return findKey(path, rc) != nullptr;
}

std::vector<std::string> MemoryPlatform::subKeys(const std::string& path) const {
    Lock lock(mutex_);
    ErrorCode rc = 0;
    std::vector<std::string> names;
    std::shared_ptr<Node> node = findKey(path, rc);
    if (node) {
        for (const auto& child : node->children) names.push_back(child.second->name);
    }
    return names;
}

std::vector<std::string> MemoryPlatform::valueNames(const std::string& path) const {
    Lock lock(mutex_);
    ErrorCode rc = 0;
    std::vector<std::string> names;
    std::shared_ptr<Node> node = findKey(path, rc);
    if (node) {
        for (const auto& v : node->values) names.push_back(v.second.first);
    }
    return names;
}

void MemoryPlatform::deleteTree(const std::string& path) {
    Lock lock(mutex_);
    std::vector<std::string> parts;
    if (splitPath(path, parts) != 0 || parts.empty()) return;
    std::shared_ptr<Node> node = root_;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        auto it = node->children.find(lower(parts[i]));
        if (it == node->children.end()) return;
        node = it->second;
    }
    deleteChildLocked(node, parts.back());
}

void MemoryPlatform::deleteChildLocked(const std::shared_ptr<Node>& parent, const std::string& name) {
    auto it = parent->children.find(lower(name));
    if (it == parent->children.end()) return;
    // Open handles to the key or any key below it now name a deleted key.
    std::function<void(Node&)> markDeleted = [&](Node& n) {
        n.deleted = true;
        for (auto& child : n.children) markDeleted(*child.second);
    };
    markDeleted(*it->second);
    parent->children.erase(it);
}

}  // namespace vornel
