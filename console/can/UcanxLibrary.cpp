#include "can/UcanxLibrary.h"

#include <QCoreApplication>
#include <QDir>

#include <dlfcn.h>

namespace kelcon {

bool UcanxApi::complete() const
{
    return CnOpen && CnClose && CnInit && CnSetMaskFilters && CnSetBaudRate && CnRecievePackets &&
           CnSendPackets && CnRecieveEnable && CnRecieveDisable && CnGetSerialNumber && CnSetRegisters &&
           CnGetRegisters && CnSetDevParameters && CnGetDevParameters;
}

namespace {

class TableLibrary final : public UcanxLibrary {
public:
    explicit TableLibrary(const UcanxApi& api) : api_(api) {}
    const UcanxApi& api() const override { return api_; }

private:
    UcanxApi api_;
};

class SharedLibrary final : public UcanxLibrary {
public:
    explicit SharedLibrary(void* handle) : handle_(handle) {}
    ~SharedLibrary() override { dlclose(handle_); }
    const UcanxApi& api() const override { return api_; }
    UcanxApi api_;

private:
    void* handle_;
};

template <typename Fn>
void bind(void* handle, Fn& fn, const char* name)
{
    fn = reinterpret_cast<Fn>(dlsym(handle, name));
}

} // namespace

std::unique_ptr<UcanxLibrary> loadUcanx(const QString& name)
{
    void* handle = dlopen(name.toLocal8Bit().constData(), RTLD_NOW | RTLD_LOCAL);
    if (!handle && QCoreApplication::instance()) {
        const QString own = QDir(QCoreApplication::applicationDirPath()).filePath(name);
        handle = dlopen(own.toLocal8Bit().constData(), RTLD_NOW | RTLD_LOCAL);
    }
    if (!handle)
        return nullptr;
    auto lib = std::make_unique<SharedLibrary>(handle);
    UcanxApi& a = lib->api_;
    bind(handle, a.CnOpen, "CnOpen");
    bind(handle, a.CnClose, "CnClose");
    bind(handle, a.CnInit, "CnInit");
    bind(handle, a.CnSetMaskFilters, "CnSetMaskFilters");
    bind(handle, a.CnSetBaudRate, "CnSetBaudRate");
    bind(handle, a.CnRecievePackets, "CnRecievePackets");
    bind(handle, a.CnSendPackets, "CnSendPackets");
    bind(handle, a.CnRecieveEnable, "CnRecieveEnable");
    bind(handle, a.CnRecieveDisable, "CnRecieveDisable");
    bind(handle, a.CnGetSerialNumber, "CnGetSerialNumber");
    bind(handle, a.CnSetRegisters, "CnSetRegisters");
    bind(handle, a.CnGetRegisters, "CnGetRegisters");
    bind(handle, a.CnSetDevParameters, "CnSetDevParameters");
    bind(handle, a.CnGetDevParameters, "CnGetDevParameters");
    if (!a.complete())
        return nullptr; // the library is closed again by the destructor
    return lib;
}

std::unique_ptr<UcanxLibrary> ucanxFromTable(const UcanxApi& api)
{
    if (!api.complete())
        return nullptr;
    return std::make_unique<TableLibrary>(api);
}

} // namespace kelcon
