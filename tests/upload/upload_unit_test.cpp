// The upload's parts that need no server: the import's verdict page, SOAP faults, the import
// URL, the pipe between the archive and the request, and the journal.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "support/temp_dir.h"
#include "upload/byte_pipe.h"
#include "upload/journal.h"
#include "upload/zimbra.h"

namespace crateline::upload {
namespace {

TEST(CallbackPage, VerdictAndFaultsAsTheServerWritesThem) {
  // As Zimbra's formatter writes it: one JSON fault an argument, '<' and '>' escaped.
  const std::string page =
      "<html>\n<head>\n</head>\n<body onload='onLoad()'>\n<script>\nfunction onLoad() {\n"
      "    window.parent.crateline('warn',\n"
      "\t{\"Code\":{\"Value\":\"soap:Receiver\"},\"Reason\":{\"Text\":\"Early EOF \\u003Cx\\u003E, "
      "(really)\"},\"Detail\":{\"Error\":{\"Code\":\"formatter.UNKNOWN_ERROR\",\"Trace\":\"t\","
      "\"a\":[{\"n\":\"path\",\"t\":\"STR\",\"_content\":\"Inbox/it's (1).eml\"}],\"_jsns\":"
      "\"urn:zimbra\"}},\"_jsns\":\"urn:zimbraSoap\"},\n"
      "\t{\"Code\":{\"Value\":\"soap:Sender\"},\"Reason\":{\"Text\":\"invalid name: a:b\"},"
      "\"Detail\":{\"Error\":{\"Code\":\"mail.INVALID_NAME\",\"a\":[{\"n\":\"name\",\"t\":\"STR\","
      "\"_content\":\"a:b\"}]}}});\n}\n</script>\n</body>\n</html>\n";
  const Verdict verdict = ParseCallbackPage(page, kCallback);
  ASSERT_TRUE(verdict.found);
  EXPECT_EQ(verdict.result, "warn");
  ASSERT_EQ(verdict.faults.size(), 2u);
  EXPECT_EQ(verdict.faults[0].code, "formatter.UNKNOWN_ERROR");
  EXPECT_EQ(verdict.faults[0].message, "Early EOF <x>, (really)");
  EXPECT_EQ(verdict.faults[0].path, "Inbox/it's (1).eml");
  EXPECT_EQ(verdict.faults[1].code, "mail.INVALID_NAME");
  EXPECT_EQ(verdict.faults[1].path, "");  // a wrapped fault names no entry

  // A plain success, and a gateway's page that calls nothing: upload_test.py.
  EXPECT_FALSE(ParseCallbackPage("window.parent.crateline(", kCallback).found);
  // A fault cut short is kept as text, not lost and not read past.
  const Verdict cut =
      ParseCallbackPage("crateline('fail', {\"Code\": {\"Value\": 1}}, {\"Co", kCallback);
  EXPECT_EQ(cut.result, "fail");
  EXPECT_EQ(cut.faults.size(), 1u);
}

TEST(SoapAndUrls, FaultTextAndTheImportAddress) {
  const std::string fault =
      "<soap:Envelope><soap:Body><soap:Fault><soap:Code><soap:Value>soap:Sender</soap:Value>"
      "</soap:Code><soap:Reason><soap:Text>authentication failed for [a&amp;b]</soap:Text>"
      "</soap:Reason><soap:Detail><Error xmlns=\"urn:zimbra\"><Code>account.AUTH_FAILED</Code>"
      "</Error></soap:Detail></soap:Fault></soap:Body></soap:Envelope>";
  EXPECT_EQ(SoapFaultText(fault), "authentication failed for [a&b] (account.AUTH_FAILED)");
  EXPECT_EQ(SoapFaultText("<html>nothing</html>"), "");
  EXPECT_EQ(ImportUrl("https://m/", "a b/c@d", "Old mail/2019"),
            "https://m/service/home/a%20b%2Fc@d/?fmt=tgz&callback=crateline&charset=UTF-8"
            "&types=message&subfolder=Old%20mail%2F2019");
}

TEST(BytePipe, CarriesEveryByteInOrderAndEndsEitherWay) {
  BytePipe pipe;
  std::string sent;
  for (int i = 0; i < 3000; ++i) sent += std::to_string(i) + std::string(4000, 'x');
  std::thread writer([&] {
    for (std::size_t at = 0; at < sent.size(); at += 70000) {
      pipe.Write(sent.data() + at, std::min<std::size_t>(70000, sent.size() - at));
    }
    pipe.Commit();
  });
  std::string got;
  char buffer[16384];
  while (const std::size_t n = pipe.Read(buffer, sizeof buffer)) got.append(buffer, n);
  writer.join();
  EXPECT_EQ(got, sent);  // more than the pipe holds at once: the writer waited for the reader

  BytePipe failed;
  failed.Write("abc", 3);
  failed.Discard();
  EXPECT_THROW(failed.Read(buffer, sizeof buffer), std::runtime_error);

  BytePipe closed;
  std::thread blocked([&] {
    const std::string big(BytePipe::kCapacity, 'y');
    closed.Write(big.data(), big.size());
    EXPECT_THROW(closed.Write("z", 1), platform::FileError);  // waits, then the reader is gone
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  closed.CloseReader();
  blocked.join();
}

TEST(Journal, KeepsEachUploadsVolumesAndRefusesADamagedFile) {
  testing::TempDir dir;
  const std::string source = (dir.path() / "mail").string();
  const std::string path = Journal::PathFor(source + "/");
  const std::string ann = UploadKey(source, "https://a", "ann", "");
  const std::string odd = UploadKey("/x\x01\xff", "https://a", "ann", "");  // a path no UTF-8
  {
    Journal journal(path);
    JournalEntry entry;
    entry.messages = {{"Inbox/a.eml", 10}, {"Inbox/\xc3\xa9.eml", 20}};
    journal.Entries(ann).push_back(entry);
    entry.state = VolumeState::kUnknown;
    journal.Entries(odd).push_back(entry);
    journal.Save();
  }
  // Where the journal lies, and that a volume's file, size and time come back: upload_test.py.
  Journal again(path);
  ASSERT_EQ(again.Entries(ann).size(), 1u);
  EXPECT_EQ(again.Entries(ann)[0].messages[1].first, "Inbox/\xc3\xa9.eml");
  EXPECT_EQ(again.Entries(ann)[0].messages[1].second, 20u);
  ASSERT_EQ(again.Entries(odd).size(), 1u);
  EXPECT_EQ(again.Entries(odd)[0].state, VolumeState::kUnknown);
  EXPECT_TRUE(again.Entries(UploadKey(source, "https://a", "ben", "")).empty());

  // Two uploads from the same folder at once: each save keeps what the other recorded.
  Journal alice(path), bob(path);
  alice.Entries("alice").push_back({});
  bob.Entries("bob").push_back({});
  alice.Save();
  bob.Save();
  alice.Entries("alice").push_back({});
  alice.Save();
  Journal both(path);
  EXPECT_EQ(both.Entries("alice").size(), 2u);
  EXPECT_EQ(both.Entries("bob").size(), 1u);
  EXPECT_EQ(both.Entries(UploadKey(source, "https://a/", "ANN", "")).size(), 1u);  // as ann

  std::ofstream(path) << "{\"crateline-upload\": 1, \"uploads\": [{\"key\": 5}]}";
  try {
    Journal damaged(path);
    FAIL() << "a damaged journal was read";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace crateline::upload
