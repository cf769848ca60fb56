// Building the card from its network description (Card::network_path(), empty for none).
#pragma once

namespace vcan {

class Card;

// Applies the description and creates every board's ports. Lines with unknown keywords, unknown
// options or bad values are reported on stderr with file and line and have no effect.
void ConfigureCard(Card& card);

// Asks this process to host the shared segments of its description that no process hosts, and
// to refuse those that one hosts already (dnm simulate). False once the card is built.
bool AskToHostSharedSegments();

}  // namespace vcan
