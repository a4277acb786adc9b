#include "can/Adapter.h"

#include "core/ConsoleState.h"
#include "core/EventLog.h"

#include <array>

namespace kelcon {

static_assert(sizeof(UcanxFrame) == sizeof(TCanFrame));

Adapter::Adapter(ConsoleState& state, EventLog& log, const Clock& clock, Loader loader)
    : state_(state), log_(log), clock_(clock), loader_(std::move(loader))
{
}

Adapter::~Adapter() = default;

bool Adapter::setUp()
{
    if (state_.settings.remoteControlOnly)
        return state_.adapterReady = false;

    // After a failed poll the old handle is still open; closing it first lets the adapter come
    // back on its own channel instead of leaking the handle and taking the next one.
    if (handle_ && lib_)
        lib_->api().CnClose(handle_);
    handle_ = nullptr;
    channel_ = 0;
    lib_.reset();

    lib_ = loader_ ? loader_() : nullptr;
    state_.adapterLibraryLoaded = lib_ != nullptr;
    if (!lib_) {
        log_.PostEvent(QStringLiteral("Ошибка открытия CAN-библиотеки!"));
        return state_.adapterReady = false;
    }
    const UcanxApi& a = lib_->api();

    for (int n = 1; n <= 255 && !handle_; ++n) {
        handle_ = a.CnOpen(std::uint8_t(n));
        if (handle_)
            channel_ = n;
    }
    if (!handle_)
        return fail(QStringLiteral("Ошибка открытия канала!"));

    // Bytes 2 and 3 of the parameter block must both be 4; the rest belongs to the adapter.
    std::array<std::uint8_t, 16> block{};
    block[0] = std::uint8_t(block.size());
    if (a.CnGetDevParameters(handle_, block.data()) && (block[2] != 4 || block[3] != 4)) {
        block[2] = 4;
        block[3] = 4;
        if (!a.CnSetDevParameters(handle_, block.data()))
            log_.PostEvent(QStringLiteral("Ошибка настройки адаптера"));
    }

    log_.PostEvent(QStringLiteral("Номер канала ") + QString::number(channel_));

    std::uint8_t answer = 0;
    if (!a.CnInit(handle_, &answer, 0) || (answer & 0xF0) != 0x10)
        return fail(QStringLiteral("Ошибка инициализации устройства!"));
    if (!configureController())
        return fail(QStringLiteral("Ошибка установки конфигурации"));
    if (!a.CnSetBaudRate(handle_, 6))
        return fail(QStringLiteral("Ошибка установки cкорости")); // the "c" is Latin, as it always was
    const UcanxFilterRecord everything{};
    if (!a.CnSetMaskFilters(handle_, &everything))
        return fail(QStringLiteral("Ошибка установки фильтров и масок"));
    if (!a.CnRecieveEnable(handle_))
        return fail(QStringLiteral("Прием запрещен"));

    log_.PostEvent(QStringLiteral("Прием разрешен"));
    return state_.adapterReady = true;
}

bool Adapter::configureController()
{
    const UcanxApi& a = lib_->api();
    auto write = [&](std::uint8_t reg, std::uint8_t value) { return a.CnSetRegisters(handle_, reg, 1, &value) != 0; };
    auto read = [&](std::uint8_t reg, std::uint8_t* value) { return a.CnGetRegisters(handle_, reg, 1, value) != 0; };

    std::uint8_t ctrl = 0;
    if (!write(0x0F, 0x80) || !read(0x0F, &ctrl) || (ctrl & 0xE0) != 0x80)
        return false; // the controller did not enter configuration mode
    if (!write(0x28, 0x06) || !write(0x29, 0xF7))
        return false;
    if (!write(0x0F, 0x00) || !read(0x0F, &ctrl) || (ctrl & 0x1F) != 0)
        return false;
    return true;
}

bool Adapter::fail(const QString& message)
{
    log_.PostEvent(message);
    if (handle_) {
        bool failed = false;
        pollOnce(&failed); // frames already waiting are not thrown away
        lib_->api().CnClose(handle_);
    }
    handle_ = nullptr;
    channel_ = 0;
    lib_.reset();
    state_.adapterLibraryLoaded = false;
    return state_.adapterReady = false;
}

int Adapter::pollOnce(bool* failed)
{
    std::array<TCanFrame, kBatch> frames;
    std::uint32_t count = kBatch;
    if (!lib_->api().CnRecievePackets(handle_, reinterpret_cast<UcanxFrame*>(frames.data()), &count)) {
        *failed = true;
        return 0;
    }
    if (count == 0)
        return 0;
    count = std::min<std::uint32_t>(count, kBatch);
    const QDateTime now = clock_.now();
    for (std::uint32_t i = 0; i < count; ++i) {
        if (sink_)
            sink_(frames[i], now);
    }
    return int(count);
}

int Adapter::poll()
{
    if (!state_.adapterReady || !handle_)
        return 0;
    int total = 0;
    for (int batch = 0; batch < kMaxBatches; ++batch) {
        bool failed = false;
        const int n = pollOnce(&failed);
        if (failed) {
            log_.PostEvent(QStringLiteral("Ошибка связи с CAN"));
            state_.adapterReady = false;
            break;
        }
        total += n;
        if (n < kBatch)
            break;
    }
    return total;
}

void Adapter::shutDown()
{
    if (handle_ && lib_) {
        lib_->api().CnRecieveDisable(handle_);
        lib_->api().CnClose(handle_);
    }
    handle_ = nullptr;
    channel_ = 0;
    lib_.reset();
    state_.adapterLibraryLoaded = false;
    state_.adapterReady = false;
}

int Adapter::send(const TCanFrame& frame)
{
    std::uint8_t status = 1;
    if (state_.adapterReady && handle_)
        lib_->api().CnSendPackets(handle_, reinterpret_cast<const UcanxFrame*>(&frame), 1, &status);
    return status;
}

} // namespace kelcon
