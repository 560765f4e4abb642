#pragma once

// The simulated reader's side of both firmware updates:
//   F0 OTA Begin               -> 00 F0   after the flash is erased (eraseTime() ms)
//   F1 OTA Frame, data         -> 00 F1   1 to 256 bytes, appended to the image
//   F2 OTA End, size (4, LSB)  -> 00 F2   the size must be the number of bytes received
//   F6 PN OTA Begin            -> 00 F6
//   F7 PN OTA Frame, body      -> 00 F7   one record body, any length (0 too),
//                                         after the chip has programmed it
//                                         (chipTime() ms)
//   F8 PN OTA Finish           -> 00 F8
//
// The reader resets after the erase answer. Over a pty that has a link it
// leaves the bus as a USB device would: the link goes at once (the open pty
// stays until then, so the answer is still read) and a new pty comes back
// at the same link reconnectTime() ms later, or never when that is negative.
// A pty without a link stays; the reader then ignores OTA requests for
// reconnectTime() ms (wall clock, so a client that sleeps meanwhile finds it
// back). TCP connections are kept.
//
// A finished update keeps its image (flashedImage()) or records
// (chipRecords()); the one being received is image() / pendingRecords().
//
// Error numbers (FF code hi lo):
//   F001  OTA Frame or End without OTA Begin before it
//   F002  OTA Frame without data or with more than 256 bytes
//   F003  OTA End whose size is not 4 bytes or not the number of bytes received
//   F004  the image does not fit the flash (kFlashSize)
//   F0EE  a fault set with setFrameFault
//   F601  PN OTA Frame or Finish without PN OTA Begin before it
//   F6EE  a fault set with setRecordFault

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QStringList>

#include "link/commandcodes.h"

class SimReader;
class SimRequest;

class SimOta : public QObject
{
    Q_OBJECT
public:
    static constexpr quint8 kCmdBegin = Command::OtaBegin;
    static constexpr quint8 kCmdFrame = Command::OtaFrame;
    static constexpr quint8 kCmdEnd = Command::OtaEnd;
    static constexpr quint8 kCmdChipBegin = Command::PnOtaBegin;
    static constexpr quint8 kCmdChipFrame = Command::PnOtaFrame;
    static constexpr quint8 kCmdChipFinish = Command::PnOtaFinish;

    static constexpr int kMaxFrameData = 256;
    static constexpr int kFlashSize = 4 * 1024 * 1024;

    static constexpr quint16 kErrorNoBegin = 0xF001;
    static constexpr quint16 kErrorFrameSize = 0xF002;
    static constexpr quint16 kErrorImageSize = 0xF003;
    static constexpr quint16 kErrorFlashFull = 0xF004;
    static constexpr quint16 kErrorInjected = 0xF0EE;
    static constexpr quint16 kErrorChipNoBegin = 0xF601;
    static constexpr quint16 kErrorChipInjected = 0xF6EE;

    enum class Fault {
        None,
        Error,
        Silent
    };

    // Registers the OTA and PN OTA commands on reader.
    explicit SimOta(SimReader *reader);
    // The module a reader carries (created with it).
    static SimOta *of(SimReader *reader);

    // --- timing
    void setEraseTime(int ms) { m_eraseMs = qMax(0, ms); }
    int eraseTime() const { return m_eraseMs; }
    void setReconnectTime(int ms) { m_reconnectMs = ms; } // < 0: the pty never comes back
    int reconnectTime() const { return m_reconnectMs; }
    bool isAway() const;
    // How long the chip takes to program one record: a PN51xx takes tens of
    // milliseconds. The reader is busy meanwhile; answers behind wait.
    void setChipTime(int ms) { m_chipMs = qMax(0, ms); }
    int chipTime() const { return m_chipMs; }

    // --- the reader's image
    bool imageOpen() const { return m_imageOpen; }
    QByteArray image() const { return m_image; }
    QByteArray flashedImage() const { return m_flashed; }
    int beginCount() const { return m_begins; }
    int frameCount() const { return m_frames; } // frames stored in this update
    int flashCount() const { return m_flashes; } // updates ended with a good OTA End

    // --- the chip's records
    bool chipOpen() const { return m_chipOpen; }
    QList<QByteArray> pendingRecords() const { return m_pending; }
    QList<QByteArray> chipRecords() const { return m_chipRecords; }
    int chipUpdateCount() const { return m_chipUpdates; }

    // --- faults. The number counts from 1 within an update: the nth frame
    // or record is the one that arrives when n - 1 are stored. Error: it is
    // answered with errorNumber and not stored; Silent: it is lost, not
    // answered and not stored. times < 0: every time it arrives, else for
    // that many arrivals.
    void setFrameFault(int number, Fault fault, int times = 1, quint16 errorNumber = kErrorInjected);
    void setRecordFault(int number, Fault fault, int times = 1, quint16 errorNumber = kErrorChipInjected);
    void clearFaults();

    // Everything back to a reader that never saw an update (timing and
    // faults are kept).
    void reset();

    // A control command of rx-reader-sim ("ota ..." / "pn ..." without the
    // first word); returns the text to show.
    QString command(const QString &family, const QStringList &words);

signals:
    void flashed(const QByteArray &image);
    void chipUpdated(int records);

private:
    struct FaultRule
    {
        int number = 0;
        Fault fault = Fault::None;
        int times = 0;
        quint16 error = 0;
    };
    static bool applyFault(FaultRule &rule, int number, SimRequest &req);

    void begin(SimRequest &req);
    void frame(SimRequest &req);
    void end(SimRequest &req);
    void leaveAfterErase();
    void chipBegin(SimRequest &req);
    void chipFrame(SimRequest &req);
    void chipFinish(SimRequest &req);
    QString statusText() const;

    SimReader *m_reader;
    int m_eraseMs = 300;
    int m_reconnectMs = 2000;
    int m_chipMs = 60;
    QElapsedTimer m_awaySince; // valid while the reader ignores OTA requests
    bool m_awayForever = false;
    int m_leaveGeneration = 0;

    bool m_imageOpen = false;
    QByteArray m_image;
    QByteArray m_flashed;
    int m_begins = 0;
    int m_frames = 0;
    int m_flashes = 0;
    FaultRule m_frameFault;

    bool m_chipOpen = false;
    QList<QByteArray> m_pending;
    QList<QByteArray> m_chipRecords;
    int m_chipUpdates = 0;
    FaultRule m_recordFault;
};
