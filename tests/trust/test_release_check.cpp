// Release keys and signatures made by the real minisign, both algorithms, against the image check of a release:
// what passes, and the one line each altered or missing piece gets.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "ReleaseCheck.h"
#include "TempFolder.h"

namespace {
class ReleaseCheck : public ::testing::Test {
protected:
    static TempFolder* folder;
    static std::string at(const std::string& name) { return *folder / name; }
    static void minisign(const std::string& arguments) {
        ASSERT_EQ(std::system(("minisign " + arguments + " >/dev/null 2>&1").c_str()), 0) << arguments;
    }
    static std::vector<trust::PublicKey> keys(const std::vector<std::string>& names) {
        std::vector<std::string> files;
        for (const std::string& name : names) files.push_back(at(name));
        std::string why;
        const auto loaded = trust::loadKeys(files, why);
        EXPECT_TRUE(loaded) << why;
        return loaded.value_or(std::vector<trust::PublicKey>{});
    }
    // The image checked as "image.bin", its signature file named image.bin.minisig.
    static std::optional<trust::ReleaseFacts> check(const std::string& image,
                                                    const std::optional<std::string>& signature,
                                                    const trust::ReleasePolicy& policy, std::string& why) {
        return trust::checkRelease(bytesOf(image), image.size(), signature, "image.bin.minisig", policy, why);
    }
    static void SetUpTestSuite() {
        folder = new TempFolder;
        writeFile(at("image.bin"), std::string(3000, '\x5A') + "tail");
        writeFile(at("other.bin"), "another release");
        for (const char* key : {"a", "b"}) minisign("-G -W -p " + at(key) + ".pub -s " + at(key) + ".key");
        minisign("-S -s " + at("a.key") + " -m " + at("image.bin") + " -t 'fw 2.14.0 for line 3'");
        minisign("-S -l -s " + at("a.key") + " -m " + at("image.bin") + " -x " + at("legacy.minisig") + " -t legacy");
        minisign("-S -s " + at("b.key") + " -m " + at("image.bin") + " -x " + at("by-b.minisig") + " -t b");
        minisign("-S -s " + at("a.key") + " -m " + at("other.bin") + " -t other");
    }
    static void TearDownTestSuite() { delete folder; }
};
TempFolder* ReleaseCheck::folder = nullptr;

// A text with one character replaced.
std::string changed(std::string text, std::size_t at, char c) {
    text.at(at) = text.at(at) == c ? static_cast<char>(c + 1) : c;
    return text;
}
std::size_t lineStart(const std::string& text, int line) {
    std::size_t at = 0;
    for (int i = 0; i < line; ++i) at = text.find('\n', at) + 1;
    return at;
}

TEST_F(ReleaseCheck, SignaturesOfBothAlgorithmsByAnyReleaseKeyAndEachAlterationRefused) {
    const std::string image = readFile(at("image.bin")), signature = readFile(at("image.bin.minisig"));
    const std::string pub = readFile(at("a.pub"));
    const std::string keyId = pub.substr(pub.find("key ") + 4, pub.find('\n') - pub.find("key ") - 4);
    struct Case {
        const char* what;
        std::string image;
        std::optional<std::string> signature;
        std::vector<std::string> keys;
        std::string expected;  // the signer's trusted comment, or the start of the refusal
    };
    const Case cases[] = {
        {"prehashed", image, signature, {"a.pub"}, "fw 2.14.0 for line 3"},
        {"legacy", image, readFile(at("legacy.minisig")), {"a.pub"}, "legacy"},
        {"the second of two keys (rotation)", image, readFile(at("by-b.minisig")), {"a.pub", "b.pub"}, "b"},
        {"another key", image, readFile(at("by-b.minisig")), {"a.pub"}, "signed by another key (key id "},
        {"one image byte changed", changed(image, 1000, 'x'), signature, {"a.pub"},
         "the signature does not match the image"},
        {"a signature for another file", image, readFile(at("other.bin.minisig")), {"a.pub"},
         "the signature does not match the image"},
        {"one signature character changed", image, changed(signature, lineStart(signature, 1) + 30, 'A'), {"a.pub"},
         "the signature does not match the image"},
        {"the trusted comment changed by one character", image,
         changed(signature, lineStart(signature, 2) + 20, 'X'), {"a.pub"}, "the trusted comment was altered"},
        {"no signature", image, std::nullopt, {"a.pub"}, "no signature (image.bin.minisig)"},
        {"an empty signature file", image, std::string(), {"a.pub"}, "image.bin.minisig: the signature file is empty"},
        {"a truncated signature file", image, signature.substr(0, lineStart(signature, 2)), {"a.pub"},
         "image.bin.minisig: the signature file is not a minisign signature"},
        {"a garbled signature line", image, changed(signature, lineStart(signature, 1) + 5, '*'), {"a.pub"},
         "image.bin.minisig: the signature file's signature lines are damaged"},
    };
    for (const Case& c : cases) {
        trust::ReleasePolicy policy;
        policy.keys = keys(c.keys);
        std::string why;
        const auto facts = check(c.image, c.signature, policy, why);
        if (facts && facts->signer) {
            EXPECT_EQ(facts->signer->trustedComment, c.expected) << c.what;
        } else {
            EXPECT_EQ(why.rfind(c.expected, 0), 0u) << c.what << ": " << why;
        }
    }
    std::string why;
    const auto facts = check(image, signature, {keys({"a.pub"}), ""}, why);
    ASSERT_TRUE(facts && facts->signer) << why;
    EXPECT_EQ(facts->signer->keyId, keyId) << "the id minisign prints";
}

TEST(KeyId, PrintedAsMinisignPrintsIt) {
    const std::pair<trust::KeyId, const char*> ids[] = {
        {{0xFF, 0xB1, 0xD4, 0x92, 0xF1, 0x1C, 0x3C, 0x14}, "143C1CF192D4B1FF"},  // a little-endian number
        {{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x0A, 0x00}, "A060504030201"},     // without leading zeros
        {{0, 0, 0, 0, 0, 0, 0, 0}, "0"},
    };
    for (const auto& [id, text] : ids) EXPECT_EQ(trust::keyIdText(id), text);
}

TEST_F(ReleaseCheck, KeyFilesAndExpectedDigestsThatAreRefused) {
    const std::string pub = readFile(at("a.pub"));
    const std::size_t keyLine = lineStart(pub, 1);
    writeFile(at("id-changed.pub"), changed(pub, keyLine + 4, 'Q'));  // a byte of the key id, in base64
    writeFile(at("two.pub"), pub + readFile(at("b.pub")));
    writeFile(at("garbled.pub"), pub.substr(0, keyLine + 10));
    writeFile(at("empty.pub"), "");
    const std::pair<const char*, const char*> keyFiles[] = {
        {"two.pub", "the key file holds more than one key"},
        {"garbled.pub", "the key file's key line is damaged"},
        {"empty.pub", "the key file is empty"},
        {"absent.pub", "No such file or directory"},
    };
    for (const auto& [file, words] : keyFiles) {
        std::string why;
        EXPECT_FALSE(trust::loadKeys({at(file)}, why)) << file;
        EXPECT_EQ(why, at(file) + ": unreadable release key: " + words);
    }
    std::string why;
    const std::string image = readFile(at("image.bin"));
    const auto facts = check(image, readFile(at("image.bin.minisig")), {keys({"id-changed.pub"}), ""}, why);
    EXPECT_FALSE(facts);
    EXPECT_EQ(why.rfind("signed by another key", 0), 0u) << "a key id that is not the key's: " << why;

    const std::string digest = trust::sha256Hex(bytesOf(image), image.size());
    const std::pair<std::string, std::string> digests[] = {
        {digest.substr(1), "--expected-sha256 takes 64 hex digits"},
        {digest + "0", "--expected-sha256 takes 64 hex digits"},
        {changed(digest, 10, 'g'), "--expected-sha256 takes 64 hex digits"},
        {changed(digest, 10, '0'), "its SHA-256 is " + digest},
    };
    for (const auto& [given, words] : digests) {
        std::string problem;
        const auto parsed = trust::parseSha256(given, problem);
        const auto checked = parsed ? check(image, std::nullopt, {{}, *parsed}, problem) : std::nullopt;
        EXPECT_FALSE(checked) << given;
        EXPECT_EQ(problem.rfind(words, 0), 0u) << given << ": " << problem;
    }
    std::string upper = digest;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(trust::parseSha256(upper, why), digest) << "either case";
}
}  // namespace
