#include "sched/RasTexts.h"

namespace rastext {
namespace {

constexpr const char* kProgress[] = {
    "[RAS] The RAS sub-system has encountered an error!",  // 2600
    "[RAS] Opening connection port",
    "[RAS] Port ready, connection pending",
    "[RAS] Connecting device",
    "[RAS] Device level connection established",
    "[RAS] Authentication process in progress",
    "[RAS] Retrying authentication",
    "[RAS] Projection phase in progress",
    "[RAS] Calculating link speed",
    "[RAS] Authentication complete",
    "[RAS] Authenticating",
    "[RAS] Logging on to the network",
    "[RAS] Session established",
    "[RAS] Disconnect or failed connection attempt",  // 2613
};

constexpr const char* kErrors[] = {
    "[RAS] Invalid port handle",             // 601
    "[RAS] Port already open",               // 602
    "[RAS] Buffer too small",                // 603
    "[RAS] Wrong info specified",            // 604
    "[RAS] Cannot set port info",            // 605
    "[RAS] Port not connected",              // 606
    "[RAS] Event invalid",                   // 607
    "[RAS] Device does not exist",           // 608
    "[RAS] Device type does not exist",      // 609
    "[RAS] Buffer invalid",                  // 610
    "[RAS] Route not available",             // 611
    "[RAS] Route not allocated",             // 612
    "[RAS] Invalid Compression Specified",   // 613
    "[RAS] Out of buffers",                  // 614
    "[RAS] Port not found",                  // 615
    "[RAS] Async request pending",           // 616
    "[RAS] Already disconnecting",           // 617
    "[RAS] Port not open",                   // 618
    "[RAS] Port disconnected",               // 619
    "[RAS] No endpoints",                    // 620
    "[RAS] Cannot open phonebook",           // 621
    "[RAS] Cannot load phonebook",           // 622
    "[RAS] Cannot find phonebook entry",     // 623
    "[RAS] Cannot write phonebook",          // 624
    "[RAS] Corrupt phonebook",               // 625
    "[RAS] Cannot load string",              // 626
    "[RAS] Key not found",                   // 627
    "[RAS] Disconnection",                   // 628
    "[RAS] Remote disconnection",            // 629
    "[RAS] Hardware failure",                // 630
    "[RAS] User disconnection",              // 631
    "[RAS] Invalid size",                    // 632
    "[RAS] Port not available",              // 633
    "[RAS] Cannot project client",           // 634
    "[RAS] Unknown error",                   // 635
    "[RAS] Wrong device attached",           // 636
    "[RAS] Bad string",                      // 637
    "[RAS] Request timeout",                 // 638
    "[RAS] Cannot get lana",                 // 639
    "[RAS] Netbios error",                   // 640
    "[RAS] Server out of resources",         // 641
    "[RAS] Name exists on net",              // 642
    "[RAS] Server general network failure",  // 643
    "[RAS] Msg alias not added",             // 644
    "[RAS] Auth internal",                   // 645
    "[RAS] Restricted logon hours",          // 646
    "[RAS] Acct disabled",                   // 647
    "[RAS] Password expired",                // 648
    "[RAS] No dial-in permission",           // 649
    "[RAS] Server not responding",           // 650
    "[RAS] Error from device",               // 651
    "[RAS] Unrecognized response",           // 652
    "[RAS] Macro not found",                 // 653
    "[RAS] Macro not defined",               // 654
    "[RAS] Message macro not found",         // 655
    "[RAS] Default off-macro not found",     // 656
    "[RAS] File couldn't be opened",         // 657
    "[RAS] Device name too long",            // 658
    "[RAS] Device name not found",           // 659
    "[RAS] No responses",                    // 660
    "[RAS] No command found",                // 661
    "[RAS] Wrong key specified",             // 662
    "[RAS] Unknown device type",             // 663
    "[RAS] Error allocating memory",         // 664
    "[RAS] Port not configured",             // 665
    "[RAS] Device not ready",                // 666
    "[RAS] Error reading INI file",          // 667
    "[RAS] No connection",                   // 668
    "[RAS] Bad usage in INI file",           // 669
    "[RAS] Error reading section name",      // 670
    "[RAS] Error reading device type",       // 671
    "[RAS] Error reading device name",       // 672
    "[RAS] Error reading usage",             // 673
    "[RAS] Error reading max connect BPS",   // 674
    "[RAS] Error reading max carrier BPS",   // 675
    "[RAS] Line busy",                       // 676
    "[RAS] Voice answer",                    // 677
    "[RAS] No answer",                       // 678
    "[RAS] No carrier",                      // 679
    "[RAS] No dialtone",                     // 680
    "[RAS] Error in command",                // 681
    "[RAS] Error writing section name",      // 682
    "[RAS] Error writing device type",       // 683
    "[RAS] Error writing device name",       // 684
    "[RAS] Error writing max connect BPS",   // 685
    "[RAS] Error writing max carrier BPS",   // 686
    "[RAS] Error writing usage",             // 687
    "[RAS] Error writing default off",       // 688
    "[RAS] Error reading default off",       // 689
    "[RAS] Empty INI file",                  // 690
    "[RAS] Authentication failure",          // 691
    "[RAS] Error on port or device",         // 692
    "[RAS] Not binary macro",                // 693
    "[RAS] DCB not found",                   // 694
    "[RAS] State machines not started",      // 695
    "[RAS] State machines already started",  // 696
    "[RAS] Partial response looping",        // 697
    "[RAS] Unknown response key",            // 698
    "[RAS] Receive buffer full",             // 699
    "[RAS] Command too long",                // 700
    "[RAS] Unsupported BPS",                 // 701
    "[RAS] Unexpected response",             // 702
    "[RAS] Interactive mode",                // 703
    "[RAS] Bad callback phone number",       // 704
    "[RAS] Invalid auth state",              // 705
    "[RAS] Error writing init BPS",          // 706
    "[RAS] x25 diagnostic",                  // 707
    "[RAS] Acct expired",                    // 708
    "[RAS] Error Changing password",         // 709
    "[RAS] Overrun",                         // 710
    "[RAS] RAS manager cannot initialize",   // 711
    "[RAS] Biplex port not available",       // 712
    "[RAS] No active ISDN lines",            // 713
    "[RAS] No ISDN channels available",      // 714
    "[RAS] Too many line errors",            // 715
    "[RAS] Bad IP configuration",            // 716
    "[RAS] No IP addresses",                 // 717
    "[RAS] PPP timeout",                     // 718
    "[RAS] PPP remote terminated",           // 719
    "[RAS] PPP no protocols configured",     // 720
    "[RAS] PPP no response",                 // 721
    "[RAS] PPP invalid packet",              // 722
    "[RAS] Phone number too long",           // 723
    "[RAS] IPX CP no dialout configured",    // 724
    "[RAS] IPX CP no dialin configured",     // 725
    "[RAS] IPX CP dialout already active",   // 726
    "[RAS] Error Accessing TCPCFG.DLL",      // 727
    "[RAS] No IP RAS adapter",               // 728
    "[RAS] SLIP requires IP",                // 729
    "[RAS] Projection not complete",         // 730
    "[RAS] Protocol not configured",         // 731
    "[RAS] PPP not converging",              // 732
    "[RAS] PPP CP rejected",                 // 733
    "[RAS] PPP LCP terminated",              // 734
    "[RAS] PPP required address rejected",   // 735
    "[RAS] PPP NCP terminated",              // 736
    "[RAS] PPP loopback detected",           // 737
    "[RAS] PPP no address assigned",         // 738
    "[RAS] Cannot use logon credentials",    // 739
    "[RAS] Errant TAPI configuration",       // 740
    "[RAS] No local encryption",             // 741
    "[RAS] No remote encryption",            // 742
    "[RAS] Remote requires encryption",      // 743
    "[RAS] IPX CP net number conflict",      // 744
    "[RAS] Invalid SMM",                     // 745
    "[RAS] SMM uninitialized",               // 746
    "[RAS] No mac for port",                 // 747
    "[RAS] SMM timeout",                     // 748
    "[RAS] Bad phone number",                // 749
    "[RAS] Wrong module",                    // 750
};

static_assert(sizeof kProgress / sizeof kProgress[0] == 14);
static_assert(sizeof kErrors / sizeof kErrors[0] == 150);

}  // namespace

std::string Text(int id) {
    if (id >= 2600 && id <= 2613) return kProgress[id - 2600];
    if (id >= 601 && id <= 750) return kErrors[id - 601];
    return {};
}

}  // namespace rastext
