// The scanner's rule table: every rule's stable name, finding type, severity,
// confidence and title, in one place.
#include <array>

#include "korvanta/scanner.hpp"

namespace korvanta {
namespace {

using enum FindingType;
using S = SecuritySeverity;

// Confidence reflects how much the validator proves: a checksum or a
// provider's fixed prefix near 0.95, a shape alone lower, the keyword and
// entropy heuristic lowest.
constexpr std::array<Rule, kRuleCount> kRules = {{
    {RuleId::AwsAccessKeyId, "aws_access_key_id", Credential, S::High, 0.9, "AWS access key id"},
    {RuleId::AwsAccessKeyPair, "aws_access_key_pair", Credential, S::Critical, 0.95,
     "AWS access key id with its secret access key nearby"},
    {RuleId::AwsSecretAccessKey, "aws_secret_access_key", Credential, S::Critical, 0.9, "AWS secret access key"},
    {RuleId::GcpApiKey, "gcp_api_key", Credential, S::High, 0.9, "Google API key"},
    {RuleId::AzureStorageKey, "azure_storage_key", Credential, S::Critical, 0.9, "Azure storage account key"},
    {RuleId::GithubToken, "github_token", Credential, S::High, 0.95, "GitHub token"},
    {RuleId::GitlabToken, "gitlab_token", Credential, S::High, 0.95, "GitLab token"},
    {RuleId::NpmToken, "npm_token", Credential, S::High, 0.9, "npm access token"},
    {RuleId::PypiToken, "pypi_token", Credential, S::High, 0.95, "PyPI API token"},
    {RuleId::OpenaiApiKey, "openai_api_key", Credential, S::High, 0.9, "OpenAI API key"},
    {RuleId::AnthropicApiKey, "anthropic_api_key", Credential, S::High, 0.95, "Anthropic API key"},
    {RuleId::OpenrouterApiKey, "openrouter_api_key", Credential, S::High, 0.95, "OpenRouter API key"},
    {RuleId::HuggingfaceToken, "huggingface_token", Credential, S::High, 0.85, "Hugging Face access token"},
    {RuleId::GroqApiKey, "groq_api_key", Credential, S::High, 0.9, "Groq API key"},
    {RuleId::ReplicateApiToken, "replicate_api_token", Credential, S::High, 0.85, "Replicate API token"},
    {RuleId::PerplexityApiKey, "perplexity_api_key", Credential, S::High, 0.9, "Perplexity API key"},
    {RuleId::XaiApiKey, "xai_api_key", Credential, S::High, 0.85, "xAI API key"},
    {RuleId::SlackToken, "slack_token", Credential, S::High, 0.9, "Slack token"},
    {RuleId::SlackWebhookUrl, "slack_webhook_url", Credential, S::Medium, 0.9, "Slack incoming webhook URL"},
    {RuleId::DiscordWebhookUrl, "discord_webhook_url", Credential, S::Medium, 0.9, "Discord webhook URL"},
    {RuleId::DiscordBotToken, "discord_bot_token", Credential, S::High, 0.75, "Discord bot token"},
    {RuleId::TelegramBotToken, "telegram_bot_token", Credential, S::High, 0.8, "Telegram bot token"},
    {RuleId::StripeSecretKey, "stripe_secret_key", Credential, S::Critical, 0.95, "Stripe live secret key"},
    {RuleId::SquareToken, "square_token", Credential, S::High, 0.9, "Square access token or OAuth secret"},
    {RuleId::SendgridApiKey, "sendgrid_api_key", Credential, S::High, 0.95, "SendGrid API key"},
    {RuleId::MailchimpApiKey, "mailchimp_api_key", Credential, S::Medium, 0.8, "Mailchimp API key"},
    {RuleId::TwilioKey, "twilio_key", Credential, S::Medium, 0.7, "Twilio account or API key id"},
    {RuleId::PrivateKey, "private_key", Credential, S::Critical, 0.95, "private key"},
    {RuleId::JsonWebToken, "json_web_token", Credential, S::Medium, 0.8, "JSON Web Token"},
    {RuleId::UrlPassword, "url_password", Credential, S::High, 0.8, "password embedded in a URL"},
    {RuleId::SecretAssignment, "secret_assignment", Credential, S::High, 0.6,
     "high-entropy value assigned to a secret-named key"},

    {RuleId::EmailAddress, "email_address", PersonalData, S::Low, 0.9, "e-mail address"},
    {RuleId::PaymentCardNumber, "payment_card_number", PersonalData, S::High, 0.85, "payment card number"},
    {RuleId::Iban, "iban", PersonalData, S::Medium, 0.95, "IBAN"},
    {RuleId::PhoneNumber, "phone_number", PersonalData, S::Low, 0.6, "international phone number"},
    {RuleId::UsSocialSecurityNumber, "us_ssn", PersonalData, S::High, 0.7, "US social security number"},

    {RuleId::InstructionOverride, "instruction_override", PromptInjection, S::High, 0.85,
     "request to ignore earlier instructions"},
    {RuleId::ChatTemplateToken, "chat_template_token", PromptInjection, S::High, 0.8,
     "chat-template control token"},
    {RuleId::RoleOverrideHeader, "role_override_header", PromptInjection, S::Medium, 0.6,
     "system or instruction header"},
    {RuleId::JailbreakPersona, "jailbreak_persona", PromptInjection, S::High, 0.8, "jailbreak persona"},
    {RuleId::UnicodeTagText, "unicode_tag_text", PromptInjection, S::High, 0.9,
     "hidden text in Unicode tag characters"},
    {RuleId::BidiOverride, "bidi_override", PromptInjection, S::Medium, 0.7, "bidirectional override characters"},
    {RuleId::ZeroWidthRun, "zero_width_run", PromptInjection, S::Medium, 0.7, "run of zero-width characters"},

    {RuleId::DestructiveCommand, "destructive_command", RiskyAction, S::Critical, 0.9, "destructive command"},
    {RuleId::DownloadPipedToShell, "download_piped_to_shell", RiskyAction, S::High, 0.85,
     "download piped into a shell"},
    {RuleId::CredentialFileAccess, "credential_file_access", RiskyAction, S::High, 0.85,
     "access to a credential file"},
    {RuleId::CloudMetadataAccess, "cloud_metadata_access", RiskyAction, S::Critical, 0.9,
     "request to a cloud metadata endpoint"},
    {RuleId::PrivateNetworkAccess, "private_network_access", RiskyAction, S::Medium, 0.6,
     "request to a private or loopback address"},
    {RuleId::SystemPathAccess, "system_path_access", RiskyAction, S::Medium, 0.6, "access to a system directory"},
    {RuleId::PathTraversal, "path_traversal", RiskyAction, S::Medium, 0.7, "path escaping with '..'"},
    {RuleId::CredentialInActionArguments, "credential_in_action_arguments", RiskyAction, S::Critical, 0.9,
     "credential passed to an agent action"},
    {RuleId::CredentialInActionResult, "credential_in_action_result", RiskyAction, S::High, 0.9,
     "credential returned by an agent action"},
}};

constexpr bool table_in_enum_order() {
  for (std::size_t i = 0; i < kRules.size(); ++i) {
    if (kRules[i].id != static_cast<RuleId>(i)) return false;
  }
  return true;
}
static_assert(table_in_enum_order(), "kRules must list the rules in RuleId order");

constexpr std::array<std::string_view, 4> kTypeNames = {"credential", "personal_data", "prompt_injection",
                                                         "risky_action"};

}  // namespace

std::string_view to_string(FindingType type) noexcept { return kTypeNames[static_cast<std::size_t>(type)]; }

std::span<const Rule> scanner_rules() noexcept { return kRules; }

std::optional<RuleId> rule_from_name(std::string_view name) noexcept {
  for (const Rule& r : kRules) {
    if (r.name == name) return r.id;
  }
  return std::nullopt;
}

}  // namespace korvanta
