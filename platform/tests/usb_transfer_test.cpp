// Transfers on the simulated bus, as a driver makes them: descriptors, vendor
// requests, stalls, time-outs on the virtual clock, bulk reads and their
// short-packet rules, aborts from another thread, halts and pipe resets, port
// reset, re-enumeration and unplugging in the middle of a transfer.

#include "usb_test_device.h"

#include "platform/clock.h"
#include "platform/last_error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

namespace usbtest {
namespace {

class UsbTransferTest : public ::testing::Test {
protected:
    void SetUp() override {
        device = std::make_shared<TestDevice>();
        port = plugSimulatedDevice(device, testDescriptors());
        ASSERT_TRUE(port);
        usb = port->hostDevice();
        ASSERT_TRUE(usb);
    }
    void TearDown() override { EXPECT_TRUE(shutdownUsb()); }

    void configure() { ASSERT_EQ(usb->selectConfiguration(1), 0); }

    std::shared_ptr<TestDevice> device;
    std::shared_ptr<SimPort> port;
    std::shared_ptr<UsbDevice> usb;
};

// A transfer run on another thread, so that the test can act while it blocks.
struct Background {
    TransferResult result;
    std::thread thread;

    template <class F> explicit Background(F work) : thread([this, work] { result = work(); }) {}
    TransferResult finish() {
        thread.join();
        return result;
    }
};

TEST_F(UsbTransferTest, DeviceArrivesWithItsDescriptorsAndAnInstanceIdOfItsPort) {
    EXPECT_EQ(usb->instanceId(), "USB\\VID_1234&PID_0001\\SIM" + std::to_string(port->number()));
    EXPECT_EQ(usb->deviceDescriptor().idVendor, kVendor);
    EXPECT_EQ(usb->deviceDescriptor().bcdDevice, 0x0013);
    ASSERT_EQ(usb->configurations().size(), 1u);
    EXPECT_EQ(usb->configurations()[0].pipes()[2].bEndpointAddress, kPipeScan);
    EXPECT_EQ(usb->speed(), UsbSpeed::High);
    EXPECT_FALSE(usb->isGone());
}

TEST_F(UsbTransferTest, StandardDescriptorsAreReadByControlRequests) {
    std::array<uint8_t, 64> buffer{};
    TransferResult r = usb->getDescriptor(kDescriptorDevice, 0, 0, buffer, 0);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r.length, DeviceDescriptor::kSize);
    auto device = DeviceDescriptor::parse(std::span(buffer).first(r.length));
    ASSERT_TRUE(device);
    EXPECT_EQ(*device, usb->deviceDescriptor());

    // The configuration's header first for its total length, then all of it.
    r = usb->getDescriptor(kDescriptorConfiguration, 0, 0, std::span(buffer).first(9), 0);
    ASSERT_TRUE(r.ok());
    const size_t total = buffer[2] | buffer[3] << 8;
    EXPECT_EQ(total, 9u + 9u + 3 * 7u);
    std::vector<uint8_t> whole(total);
    ASSERT_EQ(usb->getDescriptor(kDescriptorConfiguration, 0, 0, whole, 0).length, total);
    EXPECT_EQ(ConfigurationDescriptor::parse(whole), usb->configurations()[0]);

    std::array<uint8_t, 514> text{};
    r = usb->getDescriptor(kDescriptorString, 1, kLanguageEnglishUs, text, 0);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(parseStringDescriptor(std::span(text).first(r.length)), u"Maker");
    r = usb->getDescriptor(kDescriptorString, 0, 0, text, 0);
    ASSERT_EQ(r.length, 4u);
    EXPECT_EQ(text[2] | text[3] << 8, kLanguageEnglishUs);
    EXPECT_EQ(usb->getDescriptor(kDescriptorString, 9, kLanguageEnglishUs, text, 0).status, EPIPE);
}

TEST_F(UsbTransferTest, VendorRequestsCarryDataBothWays) {
    const std::vector<uint8_t> record = pattern(16, 3);
    TransferResult r =
        usb->controlOut(ControlSetup::vendorOut(kRequestMemory, 0x1B40, 0), record, 500);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.length, 16u);
    std::array<uint8_t, 16> back{};
    r = usb->controlIn(ControlSetup::vendorIn(kRequestMemory, 0x1B40, 0), back, 1000);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.length, 16u);
    EXPECT_TRUE(std::equal(back.begin(), back.end(), record.begin()));
    // The CPU control register write of a firmware download: one byte.
    const uint8_t hold = 1;
    ASSERT_TRUE(usb->controlOut(ControlSetup::vendorOut(kRequestMemory, 0xE600, 0),
                                std::span(&hold, 1), 1000)
                    .ok());
    EXPECT_EQ(device->memory[0xE600], 1);
}

TEST_F(UsbTransferTest, StallFailsOnlyThatRequest) {
    std::array<uint8_t, 4> buffer{};
    EXPECT_EQ(usb->controlIn(ControlSetup::vendorIn(kRequestStall, 0, 0), buffer, 1000).status,
              EPIPE);
    EXPECT_TRUE(usb->controlIn(ControlSetup::vendorIn(kRequestMemory, 0, 0), buffer, 1000).ok());
}

TEST_F(UsbTransferTest, ArgumentsThatCannotBeRightAreRefused) {
    std::array<uint8_t, 4> buffer{};
    EXPECT_EQ(usb->controlIn(ControlSetup::vendorOut(kRequestMemory, 0, 0), buffer, 0).status,
              EINVAL);
    EXPECT_EQ(usb->controlOut(ControlSetup::vendorIn(kRequestMemory, 0, 0), buffer, 0).status,
              EINVAL);
    // Configuration changes go through selectConfiguration, halts through resetPipe.
    EXPECT_EQ(usb->controlOut({kTypeStandard, kRequestSetConfiguration, 1, 0}, {}, 0).status,
              EINVAL);
    EXPECT_EQ(
        usb->controlOut({kRecipientEndpoint, kRequestClearFeature, 0, kPipeScan}, {}, 0).status,
        EINVAL);
    // No pipes before a configuration is selected.
    EXPECT_EQ(usb->readPipe(kPipeScan, buffer, 0).status, ENOENT);
    EXPECT_EQ(usb->selectConfiguration(2), ENOENT);
    configure();
    EXPECT_TRUE(device->waitLogged("configured 1"));
    EXPECT_EQ(usb->readPipe(kPipeOut, buffer, 0).status, EINVAL);   // an OUT pipe
    EXPECT_EQ(usb->writePipe(kPipeScan, buffer, 0).status, EINVAL); // an IN pipe
    EXPECT_EQ(usb->readPipe(0x85, buffer, 0).status, ENOENT);
    EXPECT_EQ(usb->readPipe(kPipeScan, {}, 0).status, EINVAL);
    EXPECT_EQ(usb->resetPipe(0x85), ENOENT);
    EXPECT_EQ(usb->abortPipe(0x85), ENOENT);
    ASSERT_EQ(usb->selectConfiguration(0), 0);
    EXPECT_EQ(usb->configurationValue(), 0);
    EXPECT_EQ(usb->readPipe(kPipeScan, buffer, 0).status, ENOENT);
}

TEST_F(UsbTransferTest, ReadEndsOnAShortPacket) {
    configure();
    // Two frames of 700 bytes: a whole packet and a short one each.
    const std::vector<uint8_t> first = pattern(700, 1);
    const std::vector<uint8_t> second = pattern(700, 2);
    ASSERT_TRUE(port->writeIn(kPipeScan, first));
    ASSERT_TRUE(port->writeIn(kPipeScan, second));
    EXPECT_EQ(port->queuedIn(kPipeScan), 1400u);
    std::vector<uint8_t> buffer(4096);
    TransferResult r = usb->readPipe(kPipeScan, buffer, 1000);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r.length, 700u);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), buffer.begin()));
    // Where short transfers are an error the bytes still come.
    r = usb->readPipe(kPipeScan, buffer, 1000, ShortTransfer::Error);
    EXPECT_EQ(r.status, EREMOTEIO);
    ASSERT_EQ(r.length, 700u);
    EXPECT_TRUE(std::equal(second.begin(), second.end(), buffer.begin()));
    EXPECT_EQ(port->queuedIn(kPipeScan), 0u);
}

TEST_F(UsbTransferTest, WholePacketsEndAReadOnlyWhenFullOrAtAZeroLengthPacket) {
    configure();
    ASSERT_TRUE(port->writeIn(kPipeScan, pattern(1024), true));
    ASSERT_TRUE(port->writeIn(kPipeScan, pattern(1024)));
    std::vector<uint8_t> buffer(4096);
    EXPECT_EQ(usb->readPipe(kPipeScan, buffer, 1000).length, 1024u);
    // Without the zero-length packet the read takes what comes next as well.
    ASSERT_TRUE(port->writeIn(kPipeScan, pattern(100)));
    EXPECT_EQ(usb->readPipe(kPipeScan, buffer, 1000).length, 1124u);
    // A read the size of the data ends when full, with a full transfer.
    ASSERT_TRUE(port->writeIn(kPipeScan, pattern(1024)));
    EXPECT_TRUE(
        usb->readPipe(kPipeScan, std::span(buffer).first(1024), 1000, ShortTransfer::Error).ok());
}

TEST_F(UsbTransferTest, MoreDataThanTheBufferHoldsIsAnOverflow) {
    configure();
    ASSERT_TRUE(port->writeIn(kPipeScan, pattern(512)));
    std::vector<uint8_t> buffer(100);
    const TransferResult r = usb->readPipe(kPipeScan, buffer, 1000);
    EXPECT_EQ(r.status, EOVERFLOW);
    EXPECT_EQ(r.length, 100u);
}

TEST_F(UsbTransferTest, ReadWaitsForDataFromTheDevice) {
    configure();
    VirtualClock clock;
    ScopedClock scoped(clock);
    std::vector<uint8_t> buffer(4096);
    Background read([&] { return usb->readPipe(kPipeScan, buffer, 5000); });
    ASSERT_TRUE(clock.waitForPendingWaits(1));
    ASSERT_TRUE(port->writeIn(kPipeScan, pattern(300)));
    const TransferResult r = read.finish();
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.length, 300u);
}

TEST_F(UsbTransferTest, TimeOutsRunOnThePlatformClock) {
    configure();
    VirtualClock clock;
    ScopedClock scoped(clock);
    // A frame that stops after its first packet.
    ASSERT_TRUE(port->writeIn(kPipeScan, pattern(512)));
    std::vector<uint8_t> buffer(2048);
    Background read([&] { return usb->readPipe(kPipeScan, buffer, 5000); });
    ASSERT_TRUE(clock.waitForPendingWaits(1));
    clock.advance(std::chrono::milliseconds(4999));
    EXPECT_EQ(clock.pendingWaits(), 1u); // still waiting
    clock.advance(std::chrono::milliseconds(1));
    const TransferResult r = read.finish();
    EXPECT_EQ(r.status, ETIMEDOUT);
    EXPECT_EQ(r.length, 512u);

    // A request the device never answers, and then one it does.
    std::array<uint8_t, 8> reply{};
    Background silent(
        [&] { return usb->controlIn(ControlSetup::vendorIn(kRequestSilent, 0, 0), reply, 1000); });
    ASSERT_TRUE(clock.waitForPendingWaits(1));
    clock.advance(std::chrono::seconds(1));
    EXPECT_EQ(silent.finish().status, ETIMEDOUT);
    EXPECT_TRUE(usb->controlIn(ControlSetup::vendorIn(kRequestMemory, 0, 0), reply, 1000).ok());
}

TEST_F(UsbTransferTest, AnswerAfterTheTimeOutIsDropped) {
    VirtualClock clock;
    ScopedClock scoped(clock);
    std::array<uint8_t, 3> reply{9, 9, 9};
    Background slow(
        [&] { return usb->controlIn(ControlSetup::vendorIn(kRequestBlock, 0, 0), reply, 1000); });
    ASSERT_TRUE(device->waitLogged("blocked"));
    ASSERT_TRUE(clock.waitForPendingWaits(1));
    clock.advance(std::chrono::seconds(1));
    const TransferResult r = slow.finish();
    EXPECT_EQ(r.status, ETIMEDOUT);
    device->release.set();
    // The device thread answered the request given up; the next one is served.
    std::array<uint8_t, 2> memory{};
    EXPECT_TRUE(usb->controlIn(ControlSetup::vendorIn(kRequestMemory, 0, 0), memory, 0).ok());
    EXPECT_FALSE(device->blocked);
    EXPECT_EQ(reply, (std::array<uint8_t, 3>{9, 9, 9}));
}

TEST_F(UsbTransferTest, AbortFromAnotherThreadCancelsTheReadAndNothingArrivesLater) {
    configure();
    VirtualClock clock; // only to see the reader block
    ScopedClock scoped(clock);
    std::vector<uint8_t> buffer(1024, 0xEE);
    Background read([&] { return usb->readPipe(kPipeScan, buffer, 60000); });
    ASSERT_TRUE(clock.waitForPendingWaits(1));
    EXPECT_EQ(usb->abortPipe(kPipeScan), 0);
    const TransferResult r = read.finish();
    EXPECT_EQ(r.status, ECANCELED);
    EXPECT_EQ(r.length, 0u);

    // Data the device sends afterwards stays for the next read.
    ASSERT_TRUE(port->writeIn(kPipeScan, pattern(100)));
    EXPECT_EQ(port->queuedIn(kPipeScan), 100u);
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](uint8_t b) { return b == 0xEE; }));
    const TransferResult next = usb->readPipe(kPipeScan, buffer, 1000);
    EXPECT_TRUE(next.ok());
    EXPECT_EQ(next.length, 100u);
}

TEST_F(UsbTransferTest, PostedReadsTakeFramesInTheirOrderWithNoOneWaiting) {
    configure();
    std::vector<std::vector<uint8_t>> buffers(3, std::vector<uint8_t>(1024));
    std::vector<PostedRead> reads;
    for (auto& buffer : buffers) {
        reads.push_back(usb->postRead(kPipeScan, buffer));
        EXPECT_TRUE(reads.back().pending());
    }
    for (uint8_t frame = 1; frame <= 3; ++frame) {
        ASSERT_TRUE(port->writeIn(kPipeScan, pattern(700, frame)));
    }
    EXPECT_EQ(port->queuedIn(kPipeScan), 0u) << "the posted reads took every frame";
    for (uint8_t frame = 1; frame <= 3; ++frame) {
        const TransferResult r = reads[frame - 1].wait(1000);
        ASSERT_TRUE(r.ok());
        ASSERT_EQ(r.length, 700u);
        const std::vector<uint8_t> sent = pattern(700, frame);
        EXPECT_TRUE(std::equal(sent.begin(), sent.end(), buffers[frame - 1].begin()));
        EXPECT_FALSE(reads[frame - 1].pending());
        EXPECT_EQ(reads[frame - 1].wait(1000).status, EINVAL) << "waited for once only";
    }
}

TEST_F(UsbTransferTest, APostedReadDroppedUnwaitedLeavesTheDataForTheNext) {
    configure();
    std::vector<uint8_t> buffer(1024, 0xEE);
    { PostedRead dropped = usb->postRead(kPipeScan, buffer); }
    ASSERT_TRUE(port->writeIn(kPipeScan, pattern(100)));
    EXPECT_EQ(port->queuedIn(kPipeScan), 100u);
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](uint8_t b) { return b == 0xEE; }));
    EXPECT_EQ(usb->readPipe(kPipeScan, buffer, 1000).length, 100u);
}

TEST_F(UsbTransferTest, APostedReadsTimeOutRunsFromItsWait) {
    configure();
    VirtualClock clock;
    ScopedClock scoped(clock);
    std::vector<uint8_t> buffer(1024);
    PostedRead read = usb->postRead(kPipeScan, buffer);
    clock.advance(std::chrono::seconds(10)); // nobody waits yet
    Background wait([&] { return read.wait(1000); });
    ASSERT_TRUE(clock.waitForPendingWaits(1));
    clock.advance(std::chrono::milliseconds(999));
    ASSERT_TRUE(port->writeIn(kPipeScan, pattern(300)));
    const TransferResult r = wait.finish();
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.length, 300u);

    PostedRead late = usb->postRead(kPipeScan, buffer);
    Background timedOut([&] { return late.wait(1000); });
    ASSERT_TRUE(clock.waitForPendingWaits(1));
    clock.advance(std::chrono::seconds(1));
    EXPECT_EQ(timedOut.finish().status, ETIMEDOUT);
}

TEST_F(UsbTransferTest, AReadPostedWhereNoneCanRunGivesItsReasonAtTheWait) {
    std::vector<uint8_t> buffer(64);
    EXPECT_EQ(usb->postRead(kPipeScan, buffer).wait(0).status, ENOENT) << "not configured";
    configure();
    EXPECT_EQ(usb->postRead(kPipeOut, buffer).wait(0).status, EINVAL) << "an OUT pipe";
    port->unplug();
    EXPECT_EQ(usb->postRead(kPipeScan, buffer).wait(0).status, ENODEV);
}

TEST_F(UsbTransferTest, AbortKeepsWhatAlreadyCameAndLeavesOtherPipesAlone) {
    configure();
    VirtualClock clock;
    ScopedClock scoped(clock);
    ASSERT_TRUE(port->writeIn(kPipeScan, pattern(512)));
    std::vector<uint8_t> scan(2048);
    std::array<uint8_t, 64> event{};
    Background scanRead([&] { return usb->readPipe(kPipeScan, scan, 60000); });
    Background eventRead([&] { return usb->readPipe(kPipeInterrupt, event, 60000); });
    ASSERT_TRUE(clock.waitForPendingWaits(2));
    EXPECT_EQ(usb->abortPipe(kPipeScan), 0);
    const TransferResult r = scanRead.finish();
    EXPECT_EQ(r.status, ECANCELED);
    EXPECT_EQ(r.length, 512u);
    EXPECT_EQ(clock.pendingWaits(), 1u);
    ASSERT_TRUE(port->writeIn(kPipeInterrupt, pattern(8)));
    EXPECT_EQ(eventRead.finish().length, 8u);
}

TEST_F(UsbTransferTest, AbortOfTheControlPipeEndsAnUnansweredRequest) {
    std::array<uint8_t, 8> reply{};
    Background silent(
        [&] { return usb->controlIn(ControlSetup::vendorIn(kRequestSilent, 0, 0), reply, 0); });
    ASSERT_TRUE(device->waitLogged("control " + std::to_string(kRequestSilent)));
    EXPECT_EQ(usb->abortPipe(0), 0);
    EXPECT_EQ(silent.finish().status, ECANCELED);
}

TEST_F(UsbTransferTest, HaltedPipeFailsUntilReset) {
    configure();
    ASSERT_TRUE(port->haltEndpoint(kPipeScan));
    std::vector<uint8_t> buffer(512);
    EXPECT_EQ(usb->readPipe(kPipeScan, buffer, 1000).status, EPIPE);
    std::array<uint8_t, 2> status{};
    ASSERT_TRUE(usb->controlIn({kDirectionIn | kRecipientEndpoint, kRequestGetStatus, 0, kPipeScan},
                               status, 1000)
                    .ok());
    EXPECT_EQ(status[0], 1);
    EXPECT_EQ(usb->resetPipe(kPipeScan), 0);
    EXPECT_TRUE(device->waitLogged("pipe reset " + std::to_string(kPipeScan)));
    ASSERT_TRUE(port->writeIn(kPipeScan, pattern(10)));
    EXPECT_TRUE(usb->readPipe(kPipeScan, buffer, 1000).ok());
}

TEST_F(UsbTransferTest, StalledWriteHaltsTheOutPipe) {
    configure();
    const std::vector<uint8_t> good = pattern(600, 5);
    TransferResult r = usb->writePipe(kPipeOut, good, 1000);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.length, 600u);
    EXPECT_EQ(device->received, good);
    // A zero-length packet reaches the device as such.
    EXPECT_TRUE(usb->writePipe(kPipeOut, {}, 1000).ok());
    EXPECT_TRUE(device->logged("out 2 0"));
    const std::vector<uint8_t> bad{0xFF, 1};
    EXPECT_EQ(usb->writePipe(kPipeOut, bad, 1000).status, EPIPE);
    EXPECT_EQ(usb->writePipe(kPipeOut, good, 1000).status, EPIPE);
    ASSERT_EQ(usb->resetPipe(kPipeOut), 0);
    EXPECT_TRUE(usb->writePipe(kPipeOut, good, 1000).ok());
    EXPECT_EQ(device->received.size(), 1200u);
}

TEST_F(UsbTransferTest, PortResetEndsTransfersAndEmptiesQueuesButKeepsTheConfiguration) {
    configure();
    ASSERT_TRUE(port->writeIn(kPipeScan, pattern(100)));
    VirtualClock clock;
    ScopedClock scoped(clock);
    std::array<uint8_t, 64> event{};
    Background eventRead([&] { return usb->readPipe(kPipeInterrupt, event, 60000); });
    ASSERT_TRUE(clock.waitForPendingWaits(1));
    ASSERT_EQ(usb->resetPort(), 0);
    EXPECT_EQ(eventRead.finish().status, ECANCELED);
    EXPECT_TRUE(device->waitLogged("port reset"));
    EXPECT_EQ(port->queuedIn(kPipeScan), 0u);
    EXPECT_EQ(usb->configurationValue(), 1);
    EXPECT_EQ(port->configurationValue(), 1);
    ASSERT_TRUE(port->writeIn(kPipeScan, pattern(10)));
    std::vector<uint8_t> buffer(512);
    EXPECT_EQ(usb->readPipe(kPipeScan, buffer, 1000).length, 10u);
}

TEST_F(UsbTransferTest, UnplugInTheMiddleOfATransferEndsItAndLeavesNoThread) {
    ASSERT_TRUE(shutdownUsb()); // start from no thread of the layer
    std::thread([] {}).join();  // sanitizer runtimes start their helpers
    const size_t threadsBefore = threadCount();
    device = std::make_shared<TestDevice>();
    port = plugSimulatedDevice(device, testDescriptors());
    ASSERT_TRUE(port);
    usb = port->hostDevice();
    configure();
    VirtualClock clock;
    ScopedClock scoped(clock);
    std::vector<uint8_t> buffer(2048);
    Background read([&] { return usb->readPipe(kPipeScan, buffer, 60000); });
    std::array<uint8_t, 3> reply{};
    Background blocked(
        [&] { return usb->controlIn(ControlSetup::vendorIn(kRequestBlock, 0, 0), reply, 0); });
    ASSERT_TRUE(clock.waitForPendingWaits(1));
    ASSERT_TRUE(device->waitLogged("blocked"));
    port->unplug();
    EXPECT_EQ(read.finish().status, ENODEV);
    EXPECT_EQ(blocked.finish().status, ENODEV);
    // The device thread was stopped in its callback's wait and joined.
    EXPECT_TRUE(device->logged("block ended by unplug"));
    EXPECT_FALSE(port->isPlugged());
    EXPECT_FALSE(port->hostDevice());
    EXPECT_TRUE(usb->isGone());
    EXPECT_EQ(usb->readPipe(kPipeScan, buffer, 0).status, ENODEV);
    EXPECT_EQ(usb->resetPort(), ENODEV);
    EXPECT_FALSE(port->writeIn(kPipeScan, pattern(4)));
    EXPECT_EQ(lastError(), uint32_t{ENODEV});
    ASSERT_TRUE(shutdownUsb());
    EXPECT_TRUE(threadCountFallsTo(threadsBefore));
}

// Under a clock that never moves, only the departure can end the request.
TEST_F(UsbTransferTest, DeviceThatVanishesWithoutAnsweringEndsTheRequest) {
    VirtualClock frozen;
    ScopedClock installed(frozen);
    const auto result = usb->controlOut(ControlSetup::vendorOut(kRequestVanish, 0, 0), {}, 1000);
    EXPECT_EQ(result.status, ENODEV);
    ASSERT_TRUE(waitForUsbHotplugIdle());
    EXPECT_TRUE(usb->isGone());
}

TEST_F(UsbTransferTest, DeviceThatUnplugsItselfAnswersFirst) {
    ASSERT_TRUE(shutdownUsb());
    std::thread([] {}).join();
    const size_t threadsBefore = threadCount();
    device = std::make_shared<TestDevice>();
    port = plugSimulatedDevice(device, testDescriptors());
    ASSERT_TRUE(port);
    usb = port->hostDevice();
    EXPECT_TRUE(usb->controlOut(ControlSetup::vendorOut(kRequestUnplug, 0, 0), {}, 1000).ok());
    ASSERT_TRUE(waitForUsbHotplugIdle());
    EXPECT_TRUE(usb->isGone());
    EXPECT_TRUE(enumerateUsbDevices().empty());
    ASSERT_TRUE(shutdownUsb());
    EXPECT_TRUE(threadCountFallsTo(threadsBefore));
}

TEST_F(UsbTransferTest, ReenumerationAfterTheRequestBringsANewDevice) {
    HotplugRecorder recorder;
    const std::string oldId = usb->instanceId();
    configure();
    // The request that starts the new firmware is answered before the device goes.
    EXPECT_TRUE(usb->controlOut(ControlSetup::vendorOut(kRequestRenumerate, 0, 0), {}, 1000).ok());
    ASSERT_TRUE(waitForUsbHotplugIdle());
    EXPECT_TRUE(usb->isGone());
    std::array<uint8_t, 4> buffer{};
    EXPECT_EQ(usb->controlIn(ControlSetup::vendorIn(kRequestMemory, 0, 0), buffer, 0).status,
              ENODEV);
    const std::shared_ptr<UsbDevice> renumerated = port->hostDevice();
    ASSERT_TRUE(renumerated);
    EXPECT_NE(renumerated, usb);
    EXPECT_EQ(renumerated->deviceDescriptor().idProduct, kProductAfterRenumeration);
    const std::string newId = renumerated->instanceId();
    EXPECT_EQ(newId, "USB\\VID_1234&PID_0002\\SIM" + std::to_string(port->number()));
    EXPECT_EQ(recorder.seen(), (std::vector<std::string>{"left " + oldId, "arrived " + newId}));
    // It comes back unconfigured.
    EXPECT_EQ(renumerated->configurationValue(), 0);
    EXPECT_EQ(port->configurationValue(), 0);
    EXPECT_TRUE(
        renumerated->controlIn(ControlSetup::vendorIn(kRequestMemory, 0, 0), buffer, 0).ok());
}

TEST_F(UsbTransferTest, ReenumerationFromOutsideEndsTransfersWithNoDevice) {
    configure();
    VirtualClock clock;
    ScopedClock scoped(clock);
    std::vector<uint8_t> buffer(512);
    Background read([&] { return usb->readPipe(kPipeScan, buffer, 60000); });
    ASSERT_TRUE(clock.waitForPendingWaits(1));
    ASSERT_TRUE(port->reenumerate(testDescriptors(kProductAfterRenumeration)));
    EXPECT_EQ(read.finish().status, ENODEV);
    EXPECT_EQ(port->hostDevice()->deviceDescriptor().idProduct, kProductAfterRenumeration);
    SimDescriptors bad = testDescriptors();
    bad.configurations.clear();
    EXPECT_FALSE(port->reenumerate(bad));
    EXPECT_EQ(lastError(), uint32_t{EINVAL});
}

TEST(UsbSimBus, BadDescriptorsAreRefused) {
    auto device = std::make_shared<TestDevice>();
    SimDescriptors none = testDescriptors();
    none.configurations.clear();
    EXPECT_FALSE(plugSimulatedDevice(device, none));
    EXPECT_EQ(lastError(), uint32_t{EINVAL});
    SimDescriptors zeroPacket = testDescriptors();
    zeroPacket.configurations[0].interfaces[0].endpoints[0].wMaxPacketSize = 0;
    EXPECT_FALSE(plugSimulatedDevice(device, zeroPacket));
    SimDescriptors twice = testDescriptors();
    twice.configurations.push_back(twice.configurations[0]);
    EXPECT_FALSE(plugSimulatedDevice(device, twice));
    EXPECT_FALSE(plugSimulatedDevice(nullptr, testDescriptors()));
    EXPECT_TRUE(enumerateUsbDevices().empty());
}

} // namespace
} // namespace usbtest
