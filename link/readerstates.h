#pragma once

#include <QObject>
#include <QString>

// The names of what a reader session is doing: which guarded request waits
// for an answer, and which workflow owns the reader.
struct ReaderStates
{
    Q_GADGET

public:
    // Which guarded request is waiting for an answer (4 is not used).
    enum OneShotState {
        Idle = 0,
        LoopTest = 1,
        GetVersion = 2,
        Rs485Scan = 3,
        FlashFirmware = 5,
        FlashRfidChip = 6,
        NetworkRead = 7,
        NetworkWrite = 8,
        AddressTagWrite = 9,
        AddressTagRead = 10,
        FileOpenForRead = 11,
        FileOpenForWrite = 12,
        FileWriting = 13,
        FileReading = 14,
        FileClosingAfterRead = 15,
        FileClosingAfterWrite = 16,
    };
    Q_ENUM(OneShotState)

    // What owns the reader now. One workflow runs at a time.
    enum class Workflow {
        None,
        FirmwareUpdate,
        ChipUpdate,
        Download,
        Upload,
        NetworkSettings,
        AddressTag,
        LoopTest,
        Rs485Scan,
        Polling,
        Restart
    };
    // What a verified download of config.json is for.
    enum DownloadTarget {
        SaveToFile = 0,
        PollingDialog = 1,
        UartDialog = 2,
        SleepDialog = 3,
        ApplyEdits = 4, // a dialog's edits go into the document read now
        Backup = 5 // kept before the reader is changed
    };

    // As the log names it: "the firmware update", ...
    static QString workflowName(Workflow workflow);
};
