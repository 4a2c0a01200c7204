// Release packages against keys made by the release manager's own signing tool: every way a
// package can be wrong is refused with its reason, and signatures travel both ways between
// this tool and that one.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zip.h>

#include <functional>

#include "RunProgram.h"
#include "TempFolder.h"
#include "package/ReleasePackage.h"

namespace {

struct tKeyPair {
  std::string Public, Secret;  // file paths
};

// A key pair made by the signing tool, unsealed (no password).
tKeyPair MakeKeys(const tTempFolder& Folder, const std::string& Name) {
  const tKeyPair Keys{Folder.File(Name + ".pub"), Folder.File(Name + ".sec")};
  const tProgramRun Run = RunProgram(
      {MINISIGN_PATH, "-G", "-W", "-p", Keys.Public, "-s", Keys.Secret}, Folder.File("keygen.out"));
  EXPECT_EQ(Run.Exit, 0) << Run.Output;
  return Keys;
}

tMinisignSecretKey SecretKeyOf(const tKeyPair& Keys) {
  std::string Why;
  auto Key = ReadMinisignSecretKey(FileText(Keys.Secret), "", Why);
  EXPECT_TRUE(Key) << Why;
  return Key ? std::move(*Key) : tMinisignSecretKey{};
}

// Replaces (or adds) the entry Name of the zip at Path; an empty Bytes removes it.
void RewriteEntry(const std::string& Path, const std::string& Name, const std::string& Bytes) {
  int Error = 0;
  zip_t* Zip = zip_open(Path.c_str(), 0, &Error);
  ASSERT_NE(Zip, nullptr);
  if (Bytes.empty()) {
    zip_delete(Zip, static_cast<zip_uint64_t>(zip_name_locate(Zip, Name.c_str(), 0)));
  } else {
    char* Copy = static_cast<char*>(malloc(Bytes.size()));
    memcpy(Copy, Bytes.data(), Bytes.size());
    zip_source_t* Source = zip_source_buffer(Zip, Copy, Bytes.size(), 1);
    ASSERT_GE(zip_file_add(Zip, Name.c_str(), Source, ZIP_FL_OVERWRITE), 0);
  }
  ASSERT_EQ(zip_close(Zip), 0);
}

std::string EntryText(const std::string& Path, const std::string& Name) {
  int Error = 0;
  zip_t* Zip = zip_open(Path.c_str(), ZIP_RDONLY, &Error);
  std::string Text;
  if (!Zip) return Text;
  if (zip_file_t* File = zip_fopen(Zip, Name.c_str(), 0)) {
    char Chunk[4096];
    zip_int64_t Got = 0;
    while ((Got = zip_fread(File, Chunk, sizeof Chunk)) > 0)
      Text.append(Chunk, Got);
    zip_fclose(File);
  }
  zip_discard(Zip);
  return Text;
}

class ReleasePackageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Release.Name = "Caddis 2027.1";
    Release.Version = "2027.1";
    Release.Date = "2027-01-15";
    Release.DeviceIDs = {21, 22};
    WriteFile(Folder.File("SkerryFPGA.bit"), std::string(5000, 'F'));
    WriteFile(Folder.File("xmos.bin"), std::string(3000, 'X'));
    WriteFile(Folder.File("SkerryTiva.dfu"), std::string(4000, 'T'));
    Sources = {{pk_FPGA, Folder.File("SkerryFPGA.bit"), "0104052027", std::nullopt},
               {pk_USBAudio, Folder.File("xmos.bin"), std::nullopt, std::nullopt},
               {pk_Firmware, Folder.File("SkerryTiva.dfu"), std::nullopt, uint8_t{13}}};
  }

  std::string Create(const std::string& Name, const tMinisignSecretKey* Key) {
    std::string Why;
    const std::string Path = Folder.File(Name);
    EXPECT_TRUE(CreateReleasePackage(Release, Sources, Key, Path, Why)) << Why;
    return Path;
  }

  std::vector<tTrustedKey> Trusted(const tKeyPair& Keys) {
    std::string Why;
    auto Key = ReadMinisignPublicKey(FileText(Keys.Public), Why);
    EXPECT_TRUE(Key) << Why;
    return {{*Key, Keys.Public}};
  }

  static void WriteFile(const std::string& Path, const std::string& Text) {
    std::ofstream(Path, std::ios::binary) << Text;
  }

  tTempFolder Folder;
  tReleaseManifest Release;
  std::vector<tPackageSource> Sources;
};

TEST_F(ReleasePackageTest, EveryFaultIsRefusedWithItsReason) {
  const tKeyPair Ours = MakeKeys(Folder, "ours");
  const tKeyPair Stranger = MakeKeys(Folder, "stranger");
  const tMinisignSecretKey OurKey = SecretKeyOf(Ours);
  const tMinisignSecretKey StrangerKey = SecretKeyOf(Stranger);
  struct tCase {
    const char* Name;
    const tMinisignSecretKey* Key;
    std::function<void(const std::string& Path)> Spoil;
    tPackageFault Fault;
    const char* Why;
  };
  const tCase Cases[] = {
      {"signed", &OurKey, nullptr, pf_None, ""},
      {"unsigned", nullptr, nullptr, pf_Unsigned, "not signed"},
      {"unknown key", &StrangerKey, nullptr, pf_UnknownKey, "not among the trusted keys"},
      {"tampered image", &OurKey,
       [](const std::string& Path) { RewriteEntry(Path, "xmos.bin", std::string(3000, 'Y')); },
       pf_Image, "the usb-audio image xmos.bin is not the manifest's: its SHA-256"},
      {"image cut short", &OurKey,
       [](const std::string& Path) { RewriteEntry(Path, "SkerryTiva.dfu", "short"); }, pf_Image,
       "5 bytes, the manifest says 4000"},
      {"image missing", &OurKey,
       [](const std::string& Path) { RewriteEntry(Path, "xmos.bin", ""); }, pf_Image,
       "xmos.bin is missing"},
      {"tampered manifest", &OurKey,
       [](const std::string& Path) {
         std::string Text = EntryText(Path, ManifestName);
         Text.replace(Text.find("\"Version\": 13"), 13, "\"Version\": 14");
         RewriteEntry(Path, ManifestName, Text);
       },
       pf_BadSignature, "the signed file was changed"},
      {"tampered trusted comment", &OurKey,
       [](const std::string& Path) {
         std::string Text = EntryText(Path, ManifestSignatureName);
         Text.replace(Text.find("trusted comment: release"), 24, "trusted comment: RELEASE");
         RewriteEntry(Path, ManifestSignatureName, Text);
       },
       pf_BadSignature, "trusted comment was changed"},
      {"a file the manifest does not name", &OurKey,
       [](const std::string& Path) { RewriteEntry(Path, "extra.bin", "x"); }, pf_Contents,
       "\"extra.bin\", which its manifest does not name"},
      {"not a zip", &OurKey,
       [](const std::string& Path) { WriteFile(Path, "PK but no zip at all"); }, pf_Unreadable,
       "not a zip file"},
      {"cut in half", &OurKey,
       [](const std::string& Path) {
         const std::vector<uint8_t> Bytes = FileBytes(Path);
         WriteFile(Path, std::string(Bytes.begin(), Bytes.begin() + Bytes.size() / 2));
       },
       pf_Unreadable, "not a zip file"},
      {"a FIFO in its place", &OurKey,
       [](const std::string& Path) {
         std::remove(Path.c_str());
         ASSERT_EQ(mkfifo(Path.c_str(), 0600), 0);
       },
       pf_Unreadable, "not a regular file"},
  };
  const std::vector<tTrustedKey> Keys = Trusted(Ours);
  for (const tCase& Case : Cases) {
    SCOPED_TRACE(Case.Name);
    const std::string Path = Create(std::string(Case.Name) + ".zip", Case.Key);
    if (Case.Spoil) Case.Spoil(Path);
    const tPackageCheck Check = OpenReleasePackage(Path, Keys);
    EXPECT_EQ(Check.Fault, Case.Fault) << Check.Why;
    EXPECT_NE(Check.Why.find(Case.Why), std::string::npos) << Check.Why;
    EXPECT_EQ(Check.Usable(false), Case.Fault == pf_None);
    // Only a package that is whole but unsigned is taken with --allow-unsigned.
    EXPECT_EQ(Check.Usable(true), Case.Fault == pf_None || Case.Fault == pf_Unsigned);
    if (Check.Usable(true)) {
      ASSERT_TRUE(Check.Package);
      EXPECT_EQ(*Check.Package->BytesOf(pk_Firmware), std::vector<uint8_t>(4000, 'T'));
      EXPECT_EQ(Check.Package->Manifest.ImageOf(pk_FPGA)->FPGAVersion, "0104052027");
    }
  }
}

TEST_F(ReleasePackageTest, ManifestsThatCannotBeTrustedAreRefused) {
  tReleaseManifest Good = Release;
  Good.Images = {{pk_Firmware, "SkerryTiva.dfu", 4000, std::string(64, 'a'), std::nullopt, 13}};
  Good.Limits.Voltages = {{0, 3.2, 3.4}};
  std::string Why;
  const std::string Text = ReleaseManifestText(Good);
  const auto Read = ParseReleaseManifest(Text, Why);
  ASSERT_TRUE(Read) << Why;
  EXPECT_EQ(ReleaseManifestText(*Read), Text);

  const auto Spoiled = [&](const std::string& From, const std::string& To) {
    std::string Bad = Text;
    const size_t At = Bad.find(From);
    EXPECT_NE(At, std::string::npos) << From;
    return Bad.replace(At, From.size(), To);
  };
  const std::pair<std::string, std::string> Cases[] = {
      {Spoiled("\"SkerryTiva.dfu\"", "\"../../etc/passwd\""), "not a plain file name"},
      {Spoiled("\"SkerryTiva.dfu\"", "\"manifest.json.minisig\""), "the manifest's own name"},
      {Spoiled("\"firmware\"", "\"bootloader\""), "none of fpga, usb-audio, firmware"},
      {Spoiled("\"Version\": 13", "\"Version\": 300"), "from 0 to 255"},
      {Spoiled("\"Size\": 4000", "\"Size\": 99999999999"), "Size must be"},
      {Spoiled(std::string(64, 'a'), std::string(63, 'a')), "64 lower-case hex digits"},
      {Spoiled("\"Format\": 1", "\"Format\": 2"), "made by a newer tool"},
      {Spoiled("\"Min\": 3.2", "\"Min\": \"low\""), "Min must be a number"},
      {"{\"Format\": 1", "not JSON"},
  };
  for (const auto& [Bad, Reason] : Cases) {
    SCOPED_TRACE(Reason);
    EXPECT_FALSE(ParseReleaseManifest(Bad, Why));
    EXPECT_NE(Why.find(Reason), std::string::npos) << Why;
  }
  tReleaseManifest Twice = Good;
  Twice.Images.push_back(Twice.Images.front());
  Twice.Images.back().File = "other.dfu";
  EXPECT_FALSE(ParseReleaseManifest(ReleaseManifestText(Twice), Why));
  EXPECT_NE(Why.find("more than one firmware image"), std::string::npos) << Why;
  tReleaseManifest NoCards = Good;
  NoCards.DeviceIDs.clear();
  EXPECT_FALSE(ParseReleaseManifest(ReleaseManifestText(NoCards), Why));
  EXPECT_NE(Why.find("DeviceIDs must list at least one card"), std::string::npos) << Why;
}

// Signatures made here verify with the signing tool, and the signing tool's verify here; a
// key sealed with a password opens only with it.
TEST_F(ReleasePackageTest, SignaturesTravelBothWaysWithTheSigningTool) {
  const tKeyPair Keys = MakeKeys(Folder, "release");
  const tMinisignSecretKey Key = SecretKeyOf(Keys);
  const std::string Ours = Create("ours.zip", &Key);
  WriteFile(Folder.File("manifest.json"), EntryText(Ours, ManifestName));
  WriteFile(Folder.File("manifest.json.minisig"), EntryText(Ours, ManifestSignatureName));
  const tProgramRun Verified =
      RunProgram({MINISIGN_PATH, "-V", "-m", Folder.File("manifest.json"), "-p", Keys.Public},
                 Folder.File("verify.out"));
  EXPECT_EQ(Verified.Exit, 0) << Verified.Output;

  const std::string Theirs = Create("theirs.zip", nullptr);
  std::string Why;
  const auto Manifest = ReadPackageManifest(Theirs, Why);
  ASSERT_TRUE(Manifest) << Why;
  WriteFile(Folder.File("theirs.json"), *Manifest);
  const tProgramRun Signed = RunProgram({MINISIGN_PATH, "-S", "-m", Folder.File("theirs.json"),
                                         "-s", Keys.Secret, "-t", "signed by the release manager"},
                                        Folder.File("sign.out"));
  ASSERT_EQ(Signed.Exit, 0) << Signed.Output;
  ASSERT_TRUE(AttachPackageSignature(Theirs, FileText(Folder.File("theirs.json.minisig")), Why))
      << Why;
  const tPackageCheck Check = OpenReleasePackage(Theirs, Trusted(Keys));
  EXPECT_EQ(Check.Fault, pf_None) << Check.Why;
  EXPECT_EQ(Check.Package->Signature->TrustedComment, "signed by the release manager");

  // A sealed key: the signing tool reads its password twice from standard input.
  const std::string Sealed = Folder.File("sealed.sec");
  const std::string Command = std::string("printf 'pass word\\npass word\\n' | ") + MINISIGN_PATH +
                              " -G -p " + Folder.File("sealed.pub") + " -s " + Sealed +
                              " > /dev/null 2>&1";
  ASSERT_EQ(std::system(Command.c_str()), 0);
  EXPECT_FALSE(ReadMinisignSecretKey(FileText(Sealed), "pass w0rd", Why));
  EXPECT_NE(Why.find("wrong password"), std::string::npos) << Why;
  const auto Opened = ReadMinisignSecretKey(FileText(Sealed), "pass word", Why);
  ASSERT_TRUE(Opened) << Why;
  EXPECT_EQ(KeyIdText(Opened->Id),
            KeyIdText(ReadMinisignPublicKey(FileText(Folder.File("sealed.pub")), Why)->Id));
}

}  // namespace
