// The test function driver's report, shared by VhubTestFd.sys and the
// user-mode tool that reads it. Plain C types, the same layout on both
// sides (x64).
#pragma once

// {5C1A7E20-3F0B-4E59-9D3A-6B2E8F41C7D4}: the function driver's own
// device interface, registered on every camera it drives.
#define VHUB_TESTFD_INTERFACE_GUID_INIT \
    { 0x5c1a7e20, 0x3f0b, 0x4e59, { 0x9d, 0x3a, 0x6b, 0x2e, 0x8f, 0x41, 0xc7, 0xd4 } }

// CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS):
// no input; the output is one VHUB_TESTFD_REPORT (a shorter buffer gets
// STATUS_BUFFER_TOO_SMALL).
#define VHUB_TESTFD_IOCTL_REPORT 0x00222400u

// How far the set-up of the camera got; the stream runs at the last stage.
enum {
    VhubTestFdStageAdded = 1,         // AddDevice attached the driver
    VhubTestFdStageStarted = 2,       // the camera (the bus's child) started
    VhubTestFdStageDescriptors = 3,   // device and configuration descriptors read
    VhubTestFdStageConfigured = 4,    // configuration 1 selected
    VhubTestFdStageCommitted = 5,     // probe and commit of the frame size done
    VhubTestFdStageStreaming = 6,     // alternate setting 1, transfers in flight
};

#define VHUB_TESTFD_MAX_FRAMES 1024

typedef struct VHUB_TESTFD_REPORT {
    unsigned int Stage;            // VhubTestFdStage*
    int SetupStatus;               // NTSTATUS of the step that stopped the set-up, else 0
    unsigned int FrameIndex;       // the committed UVC frame index (1-based)
    unsigned int FrameBytes;       // dwMaxVideoFrameSize of the committed probe
    unsigned int TransfersInFlight;
    unsigned int TransfersCompleted;  // with success
    unsigned int TransfersFailed;     // completed with an error status
    unsigned int PacketErrors;        // packets with an error status or a malformed payload header
    unsigned int EmptyPackets;        // packets that carried no payload header
    unsigned int FramesComplete;      // ended by EOF with exactly FrameBytes bytes
    unsigned int FramesBad;           // ended (EOF or FID change) with another size
    unsigned short Product[64];       // the product string descriptor's text (UTF-16, NUL-terminated)
    unsigned int FrameCount;          // entries in Checksums (the first VHUB_TESTFD_MAX_FRAMES frames)
    unsigned int Checksums[VHUB_TESTFD_MAX_FRAMES];  // FNV-1a of each complete frame, in order
} VHUB_TESTFD_REPORT;

// FNV-1a, 32 bits: the checksum of a frame's bytes.
#define VHUB_FNV_OFFSET 2166136261u
#define VHUB_FNV_PRIME 16777619u
