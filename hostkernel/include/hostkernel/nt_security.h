// Security as the kernel publishes it: SIDs, access-control lists and
// entries, security descriptors (absolute and self-relative), the SID table
// SeExports, the Rtl routines that build and query them, capture, the object
// manager's security calls and the export look-up MmGetSystemRoutineAddress.
// Layouts are the x64 ones.
#pragma once

#include "nt_base.h"
#include "nt_ke.h"

typedef struct _LUID {
    ULONG LowPart;
    LONG HighPart;
} LUID, *PLUID;
static_assert(sizeof(LUID) == 8, "LUID");

// --- SIDs ---------------------------------------------------------------------------------
typedef struct _SID_IDENTIFIER_AUTHORITY {
    UCHAR Value[6];
} SID_IDENTIFIER_AUTHORITY, *PSID_IDENTIFIER_AUTHORITY;

typedef struct _SID {
    UCHAR Revision;
    UCHAR SubAuthorityCount;
    SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
    ULONG SubAuthority[ANYSIZE_ARRAY];
} SID, *PISID;
typedef PVOID PSID;
static_assert(sizeof(SID) == 12, "SID");
static_assert(offsetof(SID, SubAuthority) == 8, "SID.SubAuthority");

#define SID_REVISION 1
#define SID_MAX_SUB_AUTHORITIES 15
#define SECURITY_MAX_SID_SIZE (sizeof(SID) - sizeof(ULONG) + SID_MAX_SUB_AUTHORITIES * sizeof(ULONG))

// --- access-control lists --------------------------------------------------------------------
typedef struct _ACL {
    UCHAR AclRevision;
    UCHAR Sbz1;
    USHORT AclSize;
    USHORT AceCount;
    USHORT Sbz2;
} ACL, *PACL;
static_assert(sizeof(ACL) == 8, "ACL");

#define ACL_REVISION 2
#define ACL_REVISION_DS 4
#define ACL_REVISION1 1
#define ACL_REVISION2 2
#define ACL_REVISION3 3
#define ACL_REVISION4 4
#define MIN_ACL_REVISION ACL_REVISION2
#define MAX_ACL_REVISION ACL_REVISION4

typedef struct _ACE_HEADER {
    UCHAR AceType;
    UCHAR AceFlags;
    USHORT AceSize;
} ACE_HEADER, *PACE_HEADER;
static_assert(sizeof(ACE_HEADER) == 4, "ACE_HEADER");

#define ACCESS_ALLOWED_ACE_TYPE 0x0
#define ACCESS_DENIED_ACE_TYPE 0x1
#define SYSTEM_AUDIT_ACE_TYPE 0x2
#define SYSTEM_ALARM_ACE_TYPE 0x3
#define ACCESS_MAX_MS_V2_ACE_TYPE 0x3

#define OBJECT_INHERIT_ACE 0x1
#define CONTAINER_INHERIT_ACE 0x2
#define NO_PROPAGATE_INHERIT_ACE 0x4
#define INHERIT_ONLY_ACE 0x8
#define INHERITED_ACE 0x10
#define VALID_INHERIT_FLAGS 0x1F
#define SUCCESSFUL_ACCESS_ACE_FLAG 0x40
#define FAILED_ACCESS_ACE_FLAG 0x80

typedef struct _ACCESS_ALLOWED_ACE {
    ACE_HEADER Header;
    ACCESS_MASK Mask;
    ULONG SidStart;
} ACCESS_ALLOWED_ACE, *PACCESS_ALLOWED_ACE;

typedef struct _ACCESS_DENIED_ACE {
    ACE_HEADER Header;
    ACCESS_MASK Mask;
    ULONG SidStart;
} ACCESS_DENIED_ACE, *PACCESS_DENIED_ACE;

typedef struct _SYSTEM_AUDIT_ACE {
    ACE_HEADER Header;
    ACCESS_MASK Mask;
    ULONG SidStart;
} SYSTEM_AUDIT_ACE, *PSYSTEM_AUDIT_ACE;
static_assert(sizeof(ACCESS_ALLOWED_ACE) == 12, "ACCESS_ALLOWED_ACE");
static_assert(offsetof(ACCESS_ALLOWED_ACE, SidStart) == 8, "ACCESS_ALLOWED_ACE.SidStart");

// --- security descriptors -----------------------------------------------------------------------
typedef USHORT SECURITY_DESCRIPTOR_CONTROL, *PSECURITY_DESCRIPTOR_CONTROL;

#define SE_OWNER_DEFAULTED 0x0001
#define SE_GROUP_DEFAULTED 0x0002
#define SE_DACL_PRESENT 0x0004
#define SE_DACL_DEFAULTED 0x0008
#define SE_SACL_PRESENT 0x0010
#define SE_SACL_DEFAULTED 0x0020
#define SE_DACL_UNTRUSTED 0x0040
#define SE_SERVER_SECURITY 0x0080
#define SE_DACL_AUTO_INHERIT_REQ 0x0100
#define SE_SACL_AUTO_INHERIT_REQ 0x0200
#define SE_DACL_AUTO_INHERITED 0x0400
#define SE_SACL_AUTO_INHERITED 0x0800
#define SE_DACL_PROTECTED 0x1000
#define SE_SACL_PROTECTED 0x2000
#define SE_RM_CONTROL_VALID 0x4000
#define SE_SELF_RELATIVE 0x8000

#define SECURITY_DESCRIPTOR_REVISION 1
#define SECURITY_DESCRIPTOR_REVISION1 1

typedef struct _SECURITY_DESCRIPTOR_RELATIVE {
    UCHAR Revision;
    UCHAR Sbz1;
    SECURITY_DESCRIPTOR_CONTROL Control;
    ULONG Owner;
    ULONG Group;
    ULONG Sacl;
    ULONG Dacl;
} SECURITY_DESCRIPTOR_RELATIVE, *PISECURITY_DESCRIPTOR_RELATIVE;
static_assert(sizeof(SECURITY_DESCRIPTOR_RELATIVE) == 20, "SECURITY_DESCRIPTOR_RELATIVE");

typedef struct _SECURITY_DESCRIPTOR {
    UCHAR Revision;
    UCHAR Sbz1;
    SECURITY_DESCRIPTOR_CONTROL Control;
    PSID Owner;
    PSID Group;
    PACL Sacl;
    PACL Dacl;
} SECURITY_DESCRIPTOR, *PISECURITY_DESCRIPTOR;
static_assert(sizeof(SECURITY_DESCRIPTOR) == 40, "SECURITY_DESCRIPTOR");
static_assert(offsetof(SECURITY_DESCRIPTOR, Owner) == 8, "SECURITY_DESCRIPTOR.Owner");
static_assert(offsetof(SECURITY_DESCRIPTOR, Dacl) == 32, "SECURITY_DESCRIPTOR.Dacl");

typedef PVOID PSECURITY_DESCRIPTOR;
#define SECURITY_DESCRIPTOR_MIN_LENGTH (sizeof(SECURITY_DESCRIPTOR))

typedef ULONG SECURITY_INFORMATION, *PSECURITY_INFORMATION;
#define OWNER_SECURITY_INFORMATION 0x00000001L
#define GROUP_SECURITY_INFORMATION 0x00000002L
#define DACL_SECURITY_INFORMATION 0x00000004L
#define SACL_SECURITY_INFORMATION 0x00000008L
#define LABEL_SECURITY_INFORMATION 0x00000010L
#define PROTECTED_DACL_SECURITY_INFORMATION 0x80000000L
#define PROTECTED_SACL_SECURITY_INFORMATION 0x40000000L
#define UNPROTECTED_DACL_SECURITY_INFORMATION 0x20000000L
#define UNPROTECTED_SACL_SECURITY_INFORMATION 0x10000000L

typedef struct _ACCESS_STATE* PACCESS_STATE;

// --- the kernel's table of well-known SIDs and privileges ------------------------------------
typedef struct _SE_EXPORTS {
    LUID SeCreateTokenPrivilege;
    LUID SeAssignPrimaryTokenPrivilege;
    LUID SeLockMemoryPrivilege;
    LUID SeIncreaseQuotaPrivilege;
    LUID SeUnsolicitedInputPrivilege;
    LUID SeTcbPrivilege;
    LUID SeSecurityPrivilege;
    LUID SeTakeOwnershipPrivilege;
    LUID SeLoadDriverPrivilege;
    LUID SeCreatePagefilePrivilege;
    LUID SeIncreaseBasePriorityPrivilege;
    LUID SeSystemProfilePrivilege;
    LUID SeSystemtimePrivilege;
    LUID SeProfileSingleProcessPrivilege;
    LUID SeCreatePermanentPrivilege;
    LUID SeBackupPrivilege;
    LUID SeRestorePrivilege;
    LUID SeShutdownPrivilege;
    LUID SeDebugPrivilege;
    LUID SeAuditPrivilege;
    LUID SeSystemEnvironmentPrivilege;
    LUID SeChangeNotifyPrivilege;
    LUID SeRemoteShutdownPrivilege;

    PSID SeNullSid;
    PSID SeWorldSid;
    PSID SeLocalSid;
    PSID SeCreatorOwnerSid;
    PSID SeCreatorGroupSid;
    PSID SeNtAuthoritySid;
    PSID SeDialupSid;
    PSID SeNetworkSid;
    PSID SeBatchSid;
    PSID SeInteractiveSid;
    PSID SeLocalSystemSid;
    PSID SeAliasAdminsSid;
    PSID SeAliasUsersSid;
    PSID SeAliasGuestsSid;
    PSID SeAliasPowerUsersSid;
    PSID SeAliasAccountOpsSid;
    PSID SeAliasSystemOpsSid;
    PSID SeAliasPrintOpsSid;
    PSID SeAliasBackupOpsSid;
    PSID SeAuthenticatedUsersSid;
    PSID SeRestrictedSid;
    PSID SeAnonymousLogonSid;

    LUID SeUndockPrivilege;
    LUID SeSyncAgentPrivilege;
    LUID SeEnableDelegationPrivilege;

    PSID SeLocalServiceSid;
    PSID SeNetworkServiceSid;

    LUID SeManageVolumePrivilege;
    LUID SeImpersonatePrivilege;
    LUID SeCreateGlobalPrivilege;
    LUID SeTrustedCredManAccessPrivilege;
    LUID SeRelabelPrivilege;
    LUID SeIncreaseWorkingSetPrivilege;
    LUID SeTimeZonePrivilege;
    LUID SeCreateSymbolicLinkPrivilege;

    PSID SeIUserSid;
    PSID SeUntrustedMandatorySid;
    PSID SeLowMandatorySid;
    PSID SeMediumMandatorySid;
    PSID SeHighMandatorySid;
    PSID SeSystemMandatorySid;
    PSID SeOwnerRightsSid;

    PSID SeAllAppPackagesSid;
    PSID SeUserModeDriversSid;
} SE_EXPORTS, *PSE_EXPORTS;
static_assert(offsetof(SE_EXPORTS, SeNullSid) == 0xB8, "SE_EXPORTS.SeNullSid");
static_assert(offsetof(SE_EXPORTS, SeLocalServiceSid) == 0x180, "SE_EXPORTS.SeLocalServiceSid");
static_assert(offsetof(SE_EXPORTS, SeOwnerRightsSid) == 0x200, "SE_EXPORTS.SeOwnerRightsSid");
static_assert(offsetof(SE_EXPORTS, SeAllAppPackagesSid) == 0x208, "SE_EXPORTS.SeAllAppPackagesSid");

EXTERN_C PSE_EXPORTS SeExports;

// --- Rtl: SIDs, ACLs, descriptors ----------------------------------------------------------------
EXTERN_C BOOLEAN NTAPI RtlValidSid(PSID Sid);
EXTERN_C ULONG NTAPI RtlLengthSid(PSID Sid);
EXTERN_C ULONG NTAPI RtlLengthRequiredSid(ULONG SubAuthorityCount);
EXTERN_C BOOLEAN NTAPI RtlEqualSid(PSID Sid1, PSID Sid2);
EXTERN_C NTSTATUS NTAPI RtlCopySid(ULONG DestinationSidLength, PSID DestinationSid, PSID SourceSid);
EXTERN_C NTSTATUS NTAPI RtlInitializeSid(PSID Sid, PSID_IDENTIFIER_AUTHORITY IdentifierAuthority,
                                         UCHAR SubAuthorityCount);
EXTERN_C PULONG NTAPI RtlSubAuthoritySid(PSID Sid, ULONG SubAuthority);

EXTERN_C NTSTATUS NTAPI RtlCreateAcl(PACL Acl, ULONG AclLength, ULONG AclRevision);
EXTERN_C BOOLEAN NTAPI RtlValidAcl(PACL Acl);
EXTERN_C NTSTATUS NTAPI RtlGetAce(PACL Acl, ULONG AceIndex, PVOID* Ace);
EXTERN_C NTSTATUS NTAPI RtlAddAccessAllowedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask,
                                               PSID Sid);
EXTERN_C NTSTATUS NTAPI RtlAddAccessAllowedAceEx(PACL Acl, ULONG AceRevision, ULONG AceFlags,
                                                 ACCESS_MASK AccessMask, PSID Sid);
EXTERN_C NTSTATUS NTAPI RtlAddAccessDeniedAceEx(PACL Acl, ULONG AceRevision, ULONG AceFlags,
                                                ACCESS_MASK AccessMask, PSID Sid);

EXTERN_C NTSTATUS NTAPI RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                    ULONG Revision);
EXTERN_C NTSTATUS NTAPI RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                     BOOLEAN DaclPresent, PACL Dacl,
                                                     BOOLEAN DaclDefaulted);
EXTERN_C NTSTATUS NTAPI RtlSetSaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                     BOOLEAN SaclPresent, PACL Sacl,
                                                     BOOLEAN SaclDefaulted);
EXTERN_C NTSTATUS NTAPI RtlSetOwnerSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                      PSID Owner, BOOLEAN OwnerDefaulted);
EXTERN_C NTSTATUS NTAPI RtlSetGroupSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                      PSID Group, BOOLEAN GroupDefaulted);
EXTERN_C NTSTATUS NTAPI RtlGetOwnerSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                      PSID* Owner, PBOOLEAN OwnerDefaulted);
EXTERN_C NTSTATUS NTAPI RtlGetGroupSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                      PSID* Group, PBOOLEAN GroupDefaulted);
EXTERN_C NTSTATUS NTAPI RtlGetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                     PBOOLEAN DaclPresent, PACL* Dacl,
                                                     PBOOLEAN DaclDefaulted);
EXTERN_C NTSTATUS NTAPI RtlGetSaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                     PBOOLEAN SaclPresent, PACL* Sacl,
                                                     PBOOLEAN SaclDefaulted);
EXTERN_C ULONG NTAPI RtlLengthSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor);
EXTERN_C BOOLEAN NTAPI RtlValidSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor);
EXTERN_C BOOLEAN NTAPI RtlValidRelativeSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptorInput,
                                                          ULONG SecurityDescriptorLength,
                                                          SECURITY_INFORMATION RequiredInformation);
EXTERN_C NTSTATUS NTAPI RtlAbsoluteToSelfRelativeSD(PSECURITY_DESCRIPTOR AbsoluteSecurityDescriptor,
                                                    PSECURITY_DESCRIPTOR SelfRelativeSecurityDescriptor,
                                                    PULONG BufferLength);

// --- Se, Ob, Zw ----------------------------------------------------------------------------------
// Copies a descriptor into pool (self-relative); the caller frees the copy
// with ExFreePool / ExFreePoolWithTag(.., 0).
EXTERN_C NTSTATUS NTAPI SeCaptureSecurityDescriptor(PSECURITY_DESCRIPTOR InputSecurityDescriptor,
                                                    KPROCESSOR_MODE RequestorMode, POOL_TYPE PoolType,
                                                    BOOLEAN ForceCapture,
                                                    PSECURITY_DESCRIPTOR* OutputSecurityDescriptor);
EXTERN_C void NTAPI SeReleaseSecurityDescriptor(PSECURITY_DESCRIPTOR CapturedSecurityDescriptor,
                                                KPROCESSOR_MODE RequestorMode, BOOLEAN ForceCapture);

EXTERN_C POBJECT_TYPE* IoDeviceObjectType;

EXTERN_C NTSTATUS NTAPI ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes,
                                              PACCESS_STATE PassedAccessState,
                                              ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                              KPROCESSOR_MODE AccessMode, PHANDLE Handle);
EXTERN_C NTSTATUS NTAPI ZwSetSecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                            PSECURITY_DESCRIPTOR SecurityDescriptor);
EXTERN_C NTSTATUS NTAPI ZwQuerySecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                              PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Length,
                                              PULONG LengthNeeded);

// A routine the running kernel exports, or NULL.
EXTERN_C PVOID NTAPI MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName);

EXTERN_C BOOLEAN NTAPI IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion);
