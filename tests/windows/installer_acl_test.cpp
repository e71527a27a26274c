// The permissions the installer gives the library folder C:\ProgramData\Kalder, taken from the
// descriptor it sets: users may create files there, but not replace or delete those of others.
// (Wine keeps a folder's permissions as its Unix mode, so they cannot be read back after an
// install under Wine.)
#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include "kalder_sddl.h"

namespace {

enum class Where { Folder, OthersFile, OwnFile };

// The rights an ACL's allowing entries give sid on the folder itself, on a file someone else
// made in it, or on a file sid made (where CREATOR OWNER stands for its maker). No entry denies.
DWORD Rights(PACL acl, PSID sid, Where where) {
    PSID creatorOwner = nullptr;
    SID_IDENTIFIER_AUTHORITY creator = SECURITY_CREATOR_SID_AUTHORITY;
    AllocateAndInitializeSid(&creator, 1, SECURITY_CREATOR_OWNER_RID, 0, 0, 0, 0, 0, 0, 0, &creatorOwner);
    DWORD rights = 0;
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        void* entry = nullptr;
        if (!GetAce(acl, i, &entry)) continue;
        const auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        PSID who = const_cast<DWORD*>(&ace->SidStart);
        const BYTE flags = ace->Header.AceFlags;
        const bool applies = where == Where::Folder ? !(flags & INHERIT_ONLY_ACE) : (flags & OBJECT_INHERIT_ACE) != 0;
        const bool forSid = EqualSid(who, sid) || (where == Where::OwnFile && EqualSid(who, creatorOwner));
        if (applies && forSid) rights |= ace->Mask;
    }
    FreeSid(creatorOwner);
    return rights;
}

PSID WellKnown(WELL_KNOWN_SID_TYPE type, BYTE (&buffer)[SECURITY_MAX_SID_SIZE]) {
    DWORD size = sizeof buffer;
    EXPECT_TRUE(CreateWellKnownSid(type, nullptr, buffer, &size));
    return buffer;
}

TEST(InstallerAcl, UsersCreateFilesButNeitherReplaceNorDeleteThoseOfOthers) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(QUILLON_KALDER_SDDL, SDDL_REVISION_1, &sd,
                                                                     nullptr));
    BYTE usersBuffer[SECURITY_MAX_SID_SIZE], adminsBuffer[SECURITY_MAX_SID_SIZE], systemBuffer[SECURITY_MAX_SID_SIZE];
    PSID users = WellKnown(WinBuiltinUsersSid, usersBuffer);
    PSID admins = WellKnown(WinBuiltinAdministratorsSid, adminsBuffer);
    PSID system = WellKnown(WinLocalSystemSid, systemBuffer);

    // Owned by the administrators, whatever user made the folder before; nothing inherited.
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    ASSERT_TRUE(GetSecurityDescriptorOwner(sd, &owner, &defaulted));
    ASSERT_NE(owner, nullptr);
    EXPECT_TRUE(EqualSid(owner, admins));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(sd, &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PROTECTED);
    BOOL present = FALSE;
    PACL acl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(sd, &present, &acl, &defaulted));
    ASSERT_TRUE(present && acl);

    for (PSID all : {admins, system})
        for (Where w : {Where::Folder, Where::OthersFile})
            EXPECT_EQ(Rights(acl, all, w) & FILE_ALL_ACCESS, static_cast<DWORD>(FILE_ALL_ACCESS));

    const DWORD never = DELETE | WRITE_DAC | WRITE_OWNER;
    // The folder: users list it, create files and folders, and delete nothing in it.
    const DWORD folder = Rights(acl, users, Where::Folder);
    EXPECT_EQ(folder & (FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY),
              static_cast<DWORD>(FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY));
    EXPECT_EQ(folder & (never | FILE_DELETE_CHILD | FILE_WRITE_ATTRIBUTES), 0u) << std::hex << folder;
    // Another's file (the marker, the log): read only, as far as the folder gives (the shared
    // log grants appending itself).
    const DWORD others = Rights(acl, users, Where::OthersFile);
    EXPECT_EQ(others & FILE_READ_DATA, static_cast<DWORD>(FILE_READ_DATA));
    EXPECT_EQ(others & (never | FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_ATTRIBUTES), 0u) << std::hex << others;
    // Their own files are theirs.
    EXPECT_EQ(Rights(acl, users, Where::OwnFile) & FILE_ALL_ACCESS, static_cast<DWORD>(FILE_ALL_ACCESS));
    LocalFree(sd);
}

}  // namespace
