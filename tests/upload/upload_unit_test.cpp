// The upload's parts that need no server: the import's verdict page, SOAP faults, the import
// URL, the pipe between the archive and the request, and the journal.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <nlohmann/json.hpp>
#include <thread>
#include <utility>

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

  // Read as it comes, a piece at a time, every fault is found, a quote escaped in a name too.
  const std::string quoted =
      "window.parent.crateline('warn',{\"Detail\":{\"Error\":{\"a\":[{\"n\":\"path\","
      "\"_content\":\"a\\\"b.eml\"}]}}},{\"Detail\":{\"Error\":{\"Code\":\"x\"}}});";
  for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, quoted.size()}) {
    CallbackPageReader reader(kCallback);
    for (std::size_t at = 0; at < quoted.size(); at += piece) {
      reader.Feed(quoted.data() + at, std::min(piece, quoted.size() - at));
    }
    ASSERT_EQ(reader.Result().faults.size(), 2u) << piece;
    EXPECT_EQ(reader.Result().faults[0].path, "a\"b.eml");
    EXPECT_EQ(reader.Result().faults[1].code, "x");
    EXPECT_TRUE(reader.Whole());
  }
  // A plain success, and a gateway's page that calls nothing: upload_test.py.
  EXPECT_FALSE(ParseCallbackPage("window.parent.crateline(", kCallback).found);
  // A fault cut short is kept as text, not lost and not read past.
  CallbackPageReader cut(kCallback);
  const std::string cutPage = "crateline('fail', {\"Code\": {\"Value\": 1}}, {\"Co";
  cut.Feed(cutPage.data(), cutPage.size());
  EXPECT_EQ(cut.Result().result, "fail");
  EXPECT_EQ(cut.Result().faults.size(), 1u);
  EXPECT_FALSE(cut.Whole());
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

  // A reader waiting on an empty pipe is woken when the data will not come whole; a writer
  // waiting on a full one when the reader has gone. Each is let go only once it waits.
  for (const bool reader : {true, false}) {
    BytePipe pipe;
    std::promise<void> waiting, done;
    pipe.SetWaitHook([&waiting, once = true]() mutable {
      if (std::exchange(once, false)) waiting.set_value();
    });
    const std::string full(BytePipe::kCapacity, 'y');
    if (!reader) pipe.Write(full.data(), full.size());
    std::thread side([&] {
      if (reader) {
        EXPECT_THROW(pipe.Read(buffer, sizeof buffer), std::runtime_error);
      } else {
        EXPECT_THROW(pipe.Write("z", 1), platform::FileError);
      }
      done.set_value();
    });
    waiting.get_future().wait();
    if (reader) {
      pipe.Discard();
    } else {
      pipe.CloseReader();
    }
    // Not woken: fail, not hang (an end wakes it in any case).
    auto finished = done.get_future();
    if (finished.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
      ADD_FAILURE() << (reader ? "Discard" : "CloseReader") << " did not wake the other side";
      pipe.Commit();
      pipe.CloseReader();
    }
    side.join();
  }
}

TEST(Journal, KeepsEachUploadsBooksTakesOverTheFirstVersionAndReadsNumbersStrictly) {
  testing::TempDir dir;
  const std::string source = (dir.path() / "mail").string();
  const std::string path = Journal::PathFor(source + "/");
  const UploadKey ann{"mail", "https://a", "ann@example.com", ""};
  const UploadKey odd{"\\x01\\xFF", "https://a", "ann@example.com", ""};
  {
    Journal journal(path);
    JournalEntry entry;
    entry.messages = {{"10-00000001-00000002", "Inbox/a.eml"}, {"20-3-4", "Inbox/\xc3\xa9.eml"}};
    journal.BooksOf(ann).Add(entry);
    journal.BooksOf(ann).refused.push_back({"5-6-7", "Inbox/bad.eml", "/m/bad.eml", "why"});
    entry.state = VolumeState::kUnknown;
    journal.BooksOf(odd).Add(entry);
    journal.Save();
  }
  Journal again(path);
  Books& books = again.BooksOf(ann);
  ASSERT_EQ(books.volumes.size(), 1u);
  EXPECT_EQ(books.volumes[0].number, 1u);
  EXPECT_EQ(books.volumes[0].state, VolumeState::kSending);  // written ahead
  EXPECT_EQ(books.volumes[0].messages[1].entry, "Inbox/\xc3\xa9.eml");
  ASSERT_EQ(books.refused.size(), 1u);
  EXPECT_EQ(books.refused[0].source, "/m/bad.eml");
  EXPECT_EQ(again.BooksOf(odd).volumes.at(0).state, VolumeState::kUnknown);
  EXPECT_TRUE(again.BooksOf({"mail", "https://a", "ben@example.com", ""}).volumes.empty());

  // Two uploads from the same folder: each save keeps what the other recorded since.
  const UploadKey alice{"a", "s", "alice", ""}, bob{"b", "s", "bob", ""};
  Journal first(path), second(path);
  first.BooksOf(alice).Add({});
  second.BooksOf(bob).Add({});
  first.Save();
  second.Save();
  Journal third(path), fourth(path);
  third.BooksOf(bob).Add({});
  third.Save();
  fourth.BooksOf(alice).Add({});
  fourth.Save();  // holds bob's books as they were when it read them: not to be written back
  Journal both(path);
  EXPECT_EQ(both.BooksOf(alice).volumes.size(), 2u);
  EXPECT_EQ(both.BooksOf(bob).volumes.size(), 2u);
  EXPECT_EQ(both.BooksOf(ann).volumes.size(), 1u);

  // A journal of the first version: keyed by the source's path, messages by name and size.
  const std::string earlier = EarlierUploadKey(source, "https://a/", "ANN", "");
  std::ofstream(path)
      << "{\"crateline-upload\": 1, \"uploads\": [{\"key\": " << nlohmann::json(earlier).dump()
      << ", \"volumes\": [{\"name\": \"volume 1 of 1\", \"state\": \"accepted\", \"faults\": 0, "
         "\"messages\": [[\"Inbox/a.eml\", 10]]}]}]}";
  {
    Journal old(path);
    EXPECT_EQ(old.BooksOf(ann, earlier).volumes.at(0).named.at(0).first, "Inbox/a.eml");
    old.Save();
  }
  Journal taken(path);
  EXPECT_EQ(taken.BooksOf(ann).volumes.size(), 1u);
  EXPECT_EQ(taken.BooksOf(ann, earlier).volumes.size(), 1u);  // taken over once, not again

  // What is not a journal of ours, to the number, is refused, naming the file.
  for (const char* text :
       {"{\"crateline-upload\": 4294967298, \"uploads\": []}",
        "{\"crateline-upload\": 2, \"uploads\": [{\"source\": \"m\", \"server\": \"s\", "
        "\"account\": \"a\", \"subfolder\": \"\", \"volumes\": [{\"number\": 1, \"name\": \"v\", "
        "\"state\": \"accepted\", \"file\": {\"name\": \"f\", \"size\": -1}}]}]}",
        "{\"crateline-upload\": 1, \"uploads\": [{\"key\": 5}]}"}) {
    std::ofstream(path) << text;
    try {
      Journal damaged(path);
      ADD_FAILURE() << "read: " << text;
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
    }
  }
  // One run at a time: a second lock on the same journal is refused, until the first goes.
  auto held = again.Lock();
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(both.Lock(), nullptr);
  held.reset();
  EXPECT_NE(both.Lock(), nullptr);
}

}  // namespace
}  // namespace crateline::upload
