"""Slot values for the synthetic tool-calling task: word lists and procedural generators.

Every pool yields the text as it appears in a query (its surface form); the argument is that
text copied verbatim, except for the few closed vocabularies whose arguments are canonical
(currency codes, units, travel modes, numbers written as words), which `canonical` maps.
Procedural values (invented places, names, addresses, codes, free text) are the bulk, so that
a model can only get arguments right by copying them from the query.
"""
from __future__ import annotations

import random
import zlib
from typing import Callable


def _words(text: str) -> list[str]:
    return [w.strip() for w in text.replace("\n", " ").split(",") if w.strip()]


# ---------------------------------------------------------------- places
CITIES = _words("""Paris, London, Berlin, Madrid, Rome, Tokyo, Sydney, Toronto, Chicago, Boston, Seattle,
Denver, Lisbon, Dublin, Vienna, Prague, Oslo, Cairo, Mumbai, Seoul, Austin, Miami, Zurich, Athens,
Warsaw, Helsinki, Lima, Nairobi, Bangkok, Hanoi, Quito, Geneva, Munich, Lyon, Porto, Milan, Naples,
Turin, Seville, Valencia, Bilbao, Marseille, Nice, Bordeaux, Toulouse, Lille, Nantes, Hamburg,
Cologne, Frankfurt, Stuttgart, Dresden, Leipzig, Bremen, Antwerp, Brussels, Ghent, Amsterdam,
Rotterdam, Utrecht, Copenhagen, Stockholm, Gothenburg, Bergen, Reykjavik, Tallinn, Riga, Vilnius,
Krakow, Gdansk, Budapest, Bucharest, Sofia, Belgrade, Zagreb, Ljubljana, Bratislava, Istanbul,
Ankara, Izmir, Beirut, Amman, Dubai, Doha, Riyadh, Tehran, Karachi, Lahore, Delhi, Chennai,
Kolkata, Bangalore, Dhaka, Colombo, Kathmandu, Yangon, Manila, Jakarta, Singapore, Taipei, Osaka,
Kyoto, Sapporo, Busan, Beijing, Shanghai, Shenzhen, Chengdu, Melbourne, Brisbane, Perth,
Adelaide, Auckland, Wellington, Vancouver, Montreal, Calgary, Ottawa, Quebec, Portland, Phoenix,
Dallas, Houston, Atlanta, Detroit, Memphis, Nashville, Orlando, Tampa, Baltimore, Philadelphia,
Pittsburgh, Cleveland, Minneapolis, Omaha, Sacramento, Oakland, Anchorage, Honolulu, Havana,
Bogota, Caracas, Santiago, Montevideo, Asuncion, Cusco, Recife, Salvador, Lagos, Accra, Dakar,
Tunis, Algiers, Casablanca, Marrakesh, Kigali, Kampala, Lusaka, Harare, Windhoek, Durban, Luanda,
Florence, Venice, Bologna, Palermo, Genoa, Granada, Malaga, Cordoba, Salzburg, Innsbruck, Basel,
Bern, Lausanne, Luxembourg, Monaco, Valletta, Nicosia, Tbilisi, Yerevan, Baku, Almaty, Tashkent,
Glasgow, Bristol, Liverpool, Cardiff, Belfast, Aberdeen, York, Bath, Brighton, Nottingham,
Sheffield, Southampton, Cork, Galway, Aarhus, Malmo, Uppsala, Tampere, Turku, Tromso, Stavanger,
Graz, Linz, Brno, Poznan, Wroclaw, Lodz, Debrecen, Cluj, Varna, Split, Dubrovnik, Sarajevo,
Skopje, Tirana, Podgorica, Chisinau, Odesa, Lviv, Kyiv, Minsk, Thessaloniki, Heraklion, Antalya,
Bursa, Haifa, Jerusalem, Muscat, Kuwait, Manama, Jeddah, Medina, Shiraz, Isfahan, Kabul, Multan,
Pune, Jaipur, Agra, Goa, Hyderabad, Ahmedabad, Surat, Kochi, Mysore, Chiang Mai, Phuket, Da Nang,
Hue, Cebu, Davao, Surabaya, Bandung, Medan, Penang, Ipoh, Macau, Guangzhou, Wuhan, Xian, Nanjing,
Hangzhou, Suzhou, Harbin, Dalian, Qingdao, Nagoya, Fukuoka, Kobe, Hiroshima, Nara, Sendai,
Incheon, Daegu, Ulaanbaatar, Darwin, Hobart, Cairns, Canberra, Christchurch, Queenstown, Dunedin,
Suva, Edmonton, Winnipeg, Halifax, Victoria, Regina, Boise, Tucson, Albuquerque, Tulsa, Wichita,
Kansas City, Saint Louis, Milwaukee, Indianapolis, Columbus, Cincinnati, Louisville, Charlotte,
Raleigh, Richmond, Norfolk, Savannah, Charleston, Jacksonville, Buffalo, Rochester, Albany,
Hartford, Providence, Burlington, Newark, Spokane, Reno, Fresno, Monterrey, Guadalajara, Puebla,
Cancun, Oaxaca, Merida, Tijuana, Panama, Managua, Tegucigalpa, Kingston, Nassau, Medellin, Cali,
Cartagena, Arequipa, Trujillo, Valparaiso, Mendoza, Rosario, Cordoba, Fortaleza, Manaus, Belem,
Curitiba, Florianopolis, Brasilia, Natal, Maputo, Mombasa, Zanzibar, Arusha, Addis Ababa, Khartoum,
Tripoli, Fez, Tangier, Agadir, Abidjan, Bamako, Niamey, Douala, Yaounde, Libreville, Kinshasa,
Brazzaville, Gaborone, Lilongwe, Antananarivo, Port Louis, Victoria Falls""")
MULTIWORD_CITIES = _words(""", San Jose, San Antonio,
New Orleans, Salt Lake City, , ,
, Hong Kong, , Santa Cruz, Santa Fe,
Saint Petersburg, St. Petersburg, Panama City, Guatemala City, Quebec City, Oklahoma City,
Port of Spain, Port Moresby, Addis Ababa, Dar es Salaam, Phnom Penh, Kota Kinabalu, Colorado Springs,
Fort Worth, El Paso, Long Beach, Virginia Beach, Baton Rouge, Des Moines, Little Rock, Palm Springs,
Santa Barbara, San Sebastian, Santiago de Compostela, Palma de Mallorca, Las Palmas, Freiburg im Breisgau, Halle an der Saale, Aix-en-Provence, Saint-Malo, Clermont-Ferrand, Boulogne-sur-Mer, Stratford-upon-Avon, Newcastle upon Tyne,
Milton Keynes, Den Haag, The Hague, Sankt Gallen, La Paz, La Plata, Puerto Vallarta, Punta Cana,
San Juan, Santo Domingo, Port-au-Prince, Mar del Plata, Belo Horizonte, Porto Alegre, Ciudad del Este,
Siem Reap, Luang Prabang, Bandar Seri Begawan, Nur-Sultan, Sharm el-Sheikh, Kuwait City, Washington, Jersey City, Atlantic City, Carson City, Ann Arbor, Grand Rapids,
Cedar Rapids, Sioux Falls, Key West, West Palm Beach, Cap Ferrat, Bad Ischl""")
FOREIGN_CITIES = _words("""Zürich, München, , Québec, São Paulo, Bogotá, Reykjavík, Kraków,
Łódź, Málaga, Córdoba, Düsseldorf, Nürnberg, Göteborg, Malmö, Tromsø, Besançon, Nîmes, Orléans,
Brașov, Plzeň, Gdańsk, Poznań, Wrocław, Londres, Lisbonne, Venise, Florence, Milano,
Firenze, Napoli, Torino, Wien, Prag, Warschau, Mailand, Rom, Kopenhagen, Athen, Moskau, Brüssel, Pékin, Séville, Besançon, Zaragoza, A Coruña, Jyväskylä, Tórshavn""")
PLACE_STARTS = _words("""Al, Ash, Bel, Ber, Bran, Brook, Cal, Car, Cor, Dal, Dor, El, Elm, Fair, Fal, Fern, Gal, Glen,
Gran, Har, Hol, Kel, Kin, Lan, Lor, Mal, Mar, Mel, Mor, Nor, Oak, Pel, Ral, Ren, Ros, Sal, Sel, Stan,
Tal, Tor, Val, Var, Wel, Wil, Win, Yar, Zan, Ost, Nov, Kar, Bur, Tre, Quin, Ab, Ul, Sor, Lin, Vin""")
PLACE_MIDS = ["", "", "", "a", "e", "i", "o", "en", "er", "an", "in", "on", "ar", "ow", "ev", "il"]
PLACE_ENDS = _words("""brook, burg, bury, by, dale, field, ford, gate, ham, haven, holm, ia, ington, ka, land,
ley, mouth, ness, ovo, pool, port, stad, stead, ton, town, vale, ville, wick, worth, ano, ena,
ica, ola, heim, hausen, dorf, berg, ice, grad, polis, mar, sund, vik, oya, abad, pur""")
PLACE_FRAMES = ["{x}", "{x}", "{x}", "{x}", "Port {x}", "San {x}", "Santa {x}", "New {x}", "{x} City",
                "Lake {x}", "Mount {x}", "{x} Springs", "St. {x}", "{x}-sur-Mer", "Bad {x}", "{x} am See",
                "Nova {x}", "Fort {x}", "{x} Bay", "East {x}", "{x} Heights", "Los {x}s", "El {x}",
                "{x} de {y}", "{x}-{y}", "{x} upon {y}", "Puerto {x}", "Villa {x}", "North {x}",
                # names of three and four words, which a model tends to cut after the first two
                "{x} {y} City", "{x} am {y}", "{x} del {y}", "Rio de {x}", "{x} de la {y}",
                "Saint-{x}-de-{y}", "{x} {y} Beach", "San {x} de {y}", "Port {x} {y}"]
ACCENTS = {"a": "áàâä", "e": "éèêë", "i": "íî", "o": "óôöø", "u": "úüû", "c": "ç", "n": "ñ", "s": "ş"}


def _maybe_accent(rng: random.Random, w: str, rate: float) -> str:
    """With probability `rate`, put an accent on one letter (when the letter drawn has one)."""
    if rng.random() < rate:
        i = rng.randrange(len(w))
        if w[i] in ACCENTS:
            w = w[:i] + rng.choice(ACCENTS[w[i]]) + w[i + 1:]
    return w


def _invented_word(rng: random.Random) -> str:
    return _maybe_accent(rng, rng.choice(PLACE_STARTS) + rng.choice(PLACE_MIDS) + rng.choice(PLACE_ENDS), 0.12)


def _invented_place(rng: random.Random) -> str:
    frame = rng.choice(PLACE_FRAMES)
    return frame.format(x=_invented_word(rng), y=_invented_word(rng))


# Syllables of no particular language. A word built from them splits into word pieces that
# rarely follow each other, so only copying piece by piece gets it right; real requests are full
# of such names (Einaudi, Amersfoort, shawarma), and the invented words above, built from a few
# dozen stems, became familiar to the model and stopped teaching it to copy.
ONSETS = ["", "", "b", "c", "d", "f", "g", "h", "j", "k", "l", "m", "n", "p", "r", "s", "t", "v", "w",
          "z", "br", "ch", "cl", "dr", "gr", "kr", "pl", "sh", "st", "tr", "th", "sch", "gl", "fl", "sk",
          "zh", "ts", "qu", "y", "ph"]
NUCLEI = ["a", "a", "e", "e", "i", "o", "o", "u", "ai", "au", "ei", "ou", "ia", "io", "y", "ae", "oo",
          "ee", "ua", "oi"]
CODAS = ["", "", "", "", "", "", "", "", "", "", "", "", "n", "r", "l", "s", "t", "m", "k", "ng", "rd", "x", "z",
         "rt", "ns", "ff"]


def _rare_word(rng: random.Random, syllables: tuple[int, int] = (2, 3)) -> str:
    w = "".join(rng.choice(ONSETS) + rng.choice(NUCLEI) + rng.choice(CODAS)
                for _ in range(rng.randint(*syllables)))
    return _maybe_accent(rng, w, 0.15)


def _rare_name(rng: random.Random) -> str:
    return _rare_word(rng).capitalize()


def _rare_place(rng: random.Random) -> str:
    frame = rng.choice(["{a}", "{a}", "{a} {b}", "{a}-{b}", "{a} City", "Saint-{a}", "{a} {b} {c}",
                        "{a} {b} {c} City", "{a} am {b}", "Rio {a}", "{a} de {b}"])
    return frame.format(a=_rare_name(rng), b=_rare_name(rng), c=_rare_name(rng))


def _value_city(rng: random.Random) -> str:
    r = rng.random()
    if r < 0.35:
        return rng.choice(CITIES)
    if r < 0.5:
        return rng.choice(MULTIWORD_CITIES)
    if r < 0.57:
        return rng.choice(FOREIGN_CITIES)
    if r < 0.7:
        return _rare_place(rng)
    return _invented_place(rng)


# Places for taxis and directions: cities, landmarks, addresses.
LANDMARKS = _words("""the airport, the train station, the station, , the office,
the hotel, the Marriott, the museum, the harbour, the harbor, the beach, the stadium,
the university, the hospital, the mall, the zoo, the park, the old town, the opera,
the town hall, the cathedral, the conference centre, the convention center, the bus station, downtown,
the city centre, home, work, the gym, the library, the market, the port, the pier, the ferry terminal,
Terminal 2, Gate B, the main square, the castle, , Penn Station, Times Square, the Louvre, the Colosseum, Hauptbahnhof, Heathrow,
Schiphol, the Eiffel Tower, Grand Central, the bridge, the lighthouse, the campsite, the marina""")
STREET_KINDS = _words("""Street, Road, Avenue, Lane, Drive, Boulevard, Way, Place, Square, Court, Terrace,
Strasse, Weg, Platz, Rue, Calle, Via""")


def _value_place(rng: random.Random) -> str:
    r = rng.random()
    if r < 0.35:
        return _value_city(rng)
    if r < 0.65:
        return rng.choice(LANDMARKS)
    if r < 0.85:
        return f"{rng.randint(1, 350)}{rng.choice(['', '', '', 'A', 'B'])} {_invented_word(rng).capitalize()} {rng.choice(STREET_KINDS)}"
    if r < 0.92:
        return f"the {_invented_word(rng).capitalize()} {rng.choice(['Hotel', 'Museum', 'Station', 'Center', 'Centre', 'Mall', 'Park', 'Theatre', 'Library', 'Hospital', 'Stadium', 'Plaza'])}"
    # Names holding small words that also end requests ("Place de la Voruna", "the Tesk by the sea").
    a, b = rng.choice([_rare_name(rng), _invented_word(rng).capitalize()]), rng.choice([_rare_name(rng), rng.choice(CITIES)])
    return rng.choice([f"{a} du {b}", f"Gare de {b}", f"Place de la {a}", f"{a} and {b} Hospital",
                       f"the {a} of {b}", f"St. {a}'s Church", f"the {a} by the {rng.choice(['sea', 'river', 'lake', 'park'])}",
                       f"{a} am {b}", f"Terminal {rng.randint(1, 5)} at {b} airport", f"the {a} Hotel in {b}"])


COUNTRIES = _words("""France, Japan, Brazil, Canada, Kenya, India, Norway, Mexico, Egypt, Chile, Vietnam,
Poland, Germany, Spain, Italy, Portugal, Greece, Turkey, Russia, China, Korea, Thailand, Indonesia,
Australia, Argentina, Peru, Colombia, Nigeria, Ghana, Ethiopia, Morocco, Algeria, Tunisia, Sweden,
Finland, Denmark, Iceland, Ireland, Austria, Switzerland, Belgium, Netherlands, Hungary, Romania,
Bulgaria, Serbia, Croatia, Ukraine, Georgia, Armenia, Iran, Iraq, Pakistan, Bangladesh, Nepal,
Mongolia, Malaysia, Philippines, Cuba, Jamaica, Uruguay, Bolivia, Ecuador, Senegal, Uganda,
Tanzania, Zambia, Zimbabwe, Namibia, Botswana, Angola, Mozambique, Madagascar, Cameroon, Mali,
Niger, Chad, Sudan, Libya, Jordan, Lebanon, Syria, Israel, Qatar, Oman, Yemen, Kuwait, Bahrain,
Afghanistan, Uzbekistan, Kazakhstan, Kyrgyzstan, Tajikistan, Turkmenistan, Azerbaijan, Belarus,
Moldova, Lithuania, Latvia, Estonia, Slovakia, Slovenia, Albania, Montenegro, Kosovo, Luxembourg,
Malta, Cyprus, Laos, Cambodia, Myanmar, Bhutan, Brunei, Singapore, Fiji, Samoa, Tonga, Paraguay,
Venezuela, Guyana, Suriname, Panama, Honduras, Nicaragua, Guatemala, Belize, Haiti, Barbados""")
MULTIWORD_COUNTRIES = _words("""North Korea, South Africa, United States,
United Kingdom, the United States, the Netherlands, the Philippines, Czech Republic, the Czech Republic,
Costa Rica, Puerto Rico, Sri Lanka, El Salvador, Ivory Coast, Sierra Leone, Burkina Faso,
Papua New Guinea, Dominican Republic, United Arab Emirates, Trinidad and Tobago, Bosnia and Herzegovina,
North Macedonia, East Timor, South Sudan, Cape Verde, San Marino, Vatican City, Equatorial Guinea,
Deutschland, Frankreich, Spanien, Italien, Schweiz, Österreich, Allemagne, Espagne, Italie, Suisse,
Brésil, Mexique, Japon, Chine, Inde, Canada""")


def _value_country(rng):
    r = rng.random()
    if r < 0.55:
        return rng.choice(COUNTRIES)
    if r < 0.85:
        return rng.choice(MULTIWORD_COUNTRIES)
    return rng.choice(["", "", "Republic of ", "North ", "South ", "West "]) + _invented_word(rng).capitalize() + rng.choice(["ia", "land", "stan", "", "a"])


# ---------------------------------------------------------------- people
FIRST_NAMES = _words("""Alice, Bob, Carol, David, Emma, Frank, Grace, Henry, Isla, Jack, Karen, Liam, Mia,
Noah, Olivia, Paul, Quinn, Rosa, Sam, Tina, Uma, Victor, Wendy, Xavier, Yara, Zoe, Aaron, Bella,
Chloe, Daniel, Elena, Felix, Georgia, Hugo, Ivan, Julia, Kevin, Laura, Marco, Nina, Oscar, Priya,
Rachel, Simon, Theo, Ursula, Vera, Walter, Amir, Beatrice, Carlos, Diana, Ethan, Fatima, Gabriel,
Hannah, Igor, Jasmine, Kai, Leila, Mateo, Nora, Omar, Petra, Rami, Sofia, Tomas, Ulla, Vincent,
Willa, Yusuf, Zara, Anton, Bianca, Cedric, Dora, Emil, Freya, Gustav, Helga, Ines, Jonas, Klara,
Lukas, Marta, Nils, Otto, Pia, Rita, Stefan, Tanja, Ute, Viktor, Wanda, Adele, Bruno, Celine,
Denis, Elise, Fabien, Gilles, Helene, Jules, Lea, Manon, Nathan, Pierre, Remi, Sylvie, Yann,
Aisha, Chinedu, Amara, Thabo, Zanele, Kofi, Ngozi, Wanjiru, Tariq, Layla, Hamza, Noor,
Arjun, Ananya, Rohan, Kavya, Vikram, Meera, Wei, Mei, Jun, Hiro, Yuki, Sakura, Min-jun, Seo-yeon,
Linh, Minh, Siti, Budi, Ahmad, Dmitri, Olga, Sven, Ingrid, Bjorn, Astrid, Lars, Maja, Jan, Zofia,
Tomasz, Agnieszka, Mehmet, Elif, Ayse, Joao, Mariana, Diego, Lucia, Javier, Camila, Santiago,
Valentina, Sean, Siobhan, Ciaran, Niamh, Fiona, Callum, Rhys, Megan, Dylan, Chelsea, Brandon,
Tyler, Madison, Jordan, Taylor, Morgan, Riley, Alex, Charlie, Jamie, Robin, Kim, Lee, Max, Ben,
Tom, Anna, , Mary, John, James, Michael, Linda, Susan, Peter, George, Kate, Lucy""")
LAST_NAMES = _words("""Smith, Johnson, Brown, Garcia, Miller, Davis, Martinez, Lopez, Wilson, Anderson, Thomas,
Moore, Martin, Jackson, Thompson, White, Harris, Clark, Lewis, Walker, Young, King, Wright, Scott,
Green, Baker, Adams, Nelson, Hill, Campbell, Mitchell, Roberts, Carter, Phillips, Evans, Turner,
Schmidt, Schneider, Fischer, Weber, Meyer, Wagner, Becker, Hoffmann, Koch, Richter, Klein, Wolf,
Dubois, Durand, Lefebvre, Moreau, Laurent, Simon, Michel, Rossi, Russo, Ferrari, Esposito, Bianchi,
Romano, Novak, Kowalski, Nowak, Horvat, Jansen, de Vries, van Dijk, Bakker, Visser, Jensen,
Nielsen, Hansen, Larsen, Andersson, Johansson, Karlsson, Nilsson, Okafor, Mensah, Okonkwo, Diallo,
Nguyen, Tran, Le, Pham, Kim, Park, Choi, Tanaka, Suzuki, Sato, Wang, Li, Zhang, Chen, Liu, Patel,
Sharma, Singh, Kumar, Gupta, Khan, Ali, Hussein, Haddad, Cohen, Levi, Silva, Santos, Oliveira,
Pereira, Costa, Fernandes, O'Brien, O'Connor, McDonald, MacLeod, Murphy, Kelly""")
RELATIONS = _words("""Mom, Dad, Mum, Grandma, Grandpa, Granny, Nana, Papa, Mama, my mom, my dad, my sister,
my brother, my wife, my husband, my boss, the babysitter, the landlord, the plumber, the office""")
TITLES = ["Dr.", "Mr.", "Mrs.", "Ms.", "Prof.", "Herrn", "Frau", "Madame", "Monsieur", "Aunt", "Uncle"]


def _invented_name(rng):
    return rng.choice(PLACE_STARTS) + rng.choice(["a", "o", "i", "e", "ia", "en", "an", "ar", "el"])


def _value_person(rng):
    r = rng.random()
    if r < 0.4:
        return rng.choice(FIRST_NAMES)
    if r < 0.6:
        return f"{rng.choice(FIRST_NAMES)} {rng.choice(LAST_NAMES)}"
    if r < 0.7:
        return f"{rng.choice(TITLES)} {rng.choice(LAST_NAMES)}"
    if r < 0.77:
        return rng.choice(RELATIONS[:10])
    if r < 0.82:
        return f"{rng.choice(FIRST_NAMES)}-{rng.choice(FIRST_NAMES)}"
    if r < 0.86:
        return _invented_name(rng)
    if r < 0.9:
        return rng.choice([_rare_name(rng), f"{rng.choice(FIRST_NAMES)} {_rare_name(rng)}",
                           f"{_rare_name(rng)} {_rare_name(rng)}"])
    if r < 0.95:
        return f"{_invented_name(rng)} {_invented_word(rng).capitalize()}"
    # three-word names: two first names, or a surname with a particle
    if rng.random() < 0.5:
        return f"{rng.choice(FIRST_NAMES)} {rng.choice(FIRST_NAMES)} {rng.choice(LAST_NAMES)}"
    return f"{rng.choice(FIRST_NAMES)} {rng.choice(['van der', 'de la', 'von', 'da', 'van', 'di', 'al', 'de'])} " \
        f"{_invented_word(rng).capitalize()}"


# ---------------------------------------------------------------- addresses and codes
DOMAINS = _words("""example.com, example.org, gmail.com, outlook.com, yahoo.com, hotmail.com, icloud.com,
proton.me, mail.com, web.de, gmx.de, gmx.net, t-online.de, orange.fr, free.fr, laposte.net,
yahoo.co.uk, btinternet.com, seznam.cz, wp.pl, work.net, corp.io, uni.edu, shop.com, lab.dev,
home.net, studio.org, post.de, mail.fr, firm.co, office.biz, company.com, agency.co.uk""")
TLDS = _words(".com, .org, .net, .io, .de, .fr, .it, .cz, .co.uk, .dev, .app, .nl, .es, .ch, .at, .se, .edu, .info, .co")


def _email_local(rng):
    first = rng.choice(FIRST_NAMES).lower().replace("-", "")
    last = rng.choice(LAST_NAMES).lower().replace(" ", "").replace("'", "")
    r = rng.random()
    if r < 0.25:
        local = first
    elif r < 0.5:
        local = f"{first}.{last}"
    elif r < 0.6:
        local = f"{first[0]}.{last}"
    elif r < 0.7:
        local = f"{first}{rng.choice(['_', '-', ''])}{last}"
    elif r < 0.8:
        local = rng.choice(["info", "support", "hello", "contact", "sales", "team", "admin", "billing",
                            "hr", "office", "jobs", "press", "orders", "noreply", "help"])
    else:
        local = _invented_word(rng).lower() if rng.random() < 0.5 else _rare_word(rng, (1, 3))
    if rng.random() < 0.25:
        local += str(rng.randint(1, 99))
    if rng.random() < 0.05:
        local += "+" + rng.choice(["work", "news", "shop", "test", "travel"])
    return local


def _value_email(rng):
    if rng.random() < 0.55:
        domain = rng.choice(DOMAINS)
    else:
        domain = rng.choice([_invented_word(rng).lower(), _rare_word(rng, (1, 3))]) + rng.choice(["", "", "-" + rng.choice(["tools", "labs", "group", "mail", "tech"])]) \
            + rng.choice(TLDS)
        if rng.random() < 0.1:
            domain = rng.choice(["mail.", "eu.", "uk.", "dept."]) + domain
    return f"{_email_local(rng)}@{domain}"


LETTERS = "ABCDEFGHJKLMNPRSTUVWXYZ"


def _digits(rng, n):
    return "".join(rng.choice("0123456789") for _ in range(n))


def _letters(rng, n):
    return "".join(rng.choice(LETTERS) for _ in range(n))


def _value_tracking(rng):
    r = rng.random()
    if r < 0.2:
        return "1Z" + _letters(rng, 3) + _digits(rng, 11)
    if r < 0.45:
        return _letters(rng, 2) + _digits(rng, 9) + _letters(rng, 2)
    if r < 0.7:
        return _digits(rng, rng.randint(10, 22))
    if r < 0.85:
        return _letters(rng, rng.randint(2, 4)) + _digits(rng, rng.randint(6, 12))
    return f"{_letters(rng, 3)}-{_digits(rng, 4)}-{_digits(rng, 4)}"


TICKERS = _words("""AAPL, MSFT, GOOG, , META, NFLX, IBM, INTC, AMD, ORCL, SIE, BMW, VOW,
ASML, NESN, NOVN, ROG, SHEL, BP, HSBA, ULVR, AZN, TM, SONY, BABA, TCEHY, JPM, BAC, WFC, GS, MS, V,
MA, PYPL, DIS, KO, PEP, MCD, NKE, SBUX, WMT, COST, TGT, XOM, CVX, PFE, MRNA, JNJ, UBER, ABNB, SPOT,
BRK.B, BRK.A, RDS.A, ADS, ALV, DTE, AIR, MC, OR, TTE, SAN, ITX, ENEL, ISP, UCG, ERIC, NOKIA, VOLV.B""")


def _value_symbol(rng):
    if rng.random() < 0.5:
        return rng.choice(TICKERS)
    return _letters(rng, rng.randint(2, 5))


# ---------------------------------------------------------------- numbers, dates, times
NUMBER_WORDS = {"one": 1, "two": 2, "three": 3, "four": 4, "five": 5, "six": 6, "seven": 7, "eight": 8,
                "nine": 9, "ten": 10, "eleven": 11, "twelve": 12, "fifteen": 15, "twenty": 20, "thirty": 30,
                "forty": 40, "forty-five": 45, "fifty": 50, "sixty": 60, "ninety": 90}
WORD_OF = {v: k for k, v in NUMBER_WORDS.items()}


def _int_value(lo, hi, words=0.12):
    def gen(rng):
        v = rng.randint(lo, hi)
        if v in WORD_OF and rng.random() < words * 3:
            return WORD_OF[v]
        return str(v)
    return gen


def _value_minutes(rng):
    """Durations for timers. Drawn uniformly from 1..180, nearly half of them have three digits,
    so after "1", "2" the likelier continuation is another digit: the model learns to add one
    ("12" -> "120") instead of reading where the number ends. Here the digit count is drawn
    first, and round durations are common, as in real requests."""
    r = rng.random()
    if r < 0.25:
        v = rng.choice([1, 2, 3, 5, 10, 15, 20, 25, 30, 40, 45, 50, 60, 75, 90, 120])
    elif r < 0.45:
        v = rng.randint(1, 9)
    elif r < 0.8:
        v = rng.randint(10, 99)
    else:
        v = rng.randint(100, 240)
    if v in WORD_OF and rng.random() < 0.36:
        return WORD_OF[v]
    return str(v)


def _value_amount(rng):
    r = rng.random()
    if r < 0.3:
        return str(rng.randint(1, 99))
    if r < 0.6:
        return str(rng.randint(100, 999))
    if r < 0.78:
        return str(rng.randint(1000, 50000))
    if r < 0.9:
        return f"{rng.randint(0, 500)}.{rng.randint(0, 99):02d}".rstrip("0").rstrip(".") if rng.random() < 0.3 \
            else f"{rng.randint(1, 500)}.{rng.choice(['5', '25', '75', '1', '2', '9', '50', '99', '05'])}"
    return str(rng.choice([5, 10, 20, 50, 100, 200, 500, 1000, 1500, 2000, 2500, 5000, 10000]))


MONTHS = _words("January, February, March, April, May, June, July, August, September, October, November, December")
MONTHS_SHORT = [m[:3] for m in MONTHS]
WEEKDAYS = _words("Monday, Tuesday, Wednesday, Thursday, Friday, Saturday, Sunday")
MONTHS_FR = _words("janvier, février, mars, avril, mai, juin, juillet, août, septembre, octobre, novembre, décembre")
MONTHS_DE = _words("Januar, Februar, März, April, Mai, Juni, Juli, August, September, Oktober, November, Dezember")


def _ordinal(n):
    return f"{n}{'th' if 11 <= n % 100 <= 13 else {1: 'st', 2: 'nd', 3: 'rd'}.get(n % 10, 'th')}"


def _value_date(rng):
    y, m, d = rng.randint(2024, 2028), rng.randint(1, 12), rng.randint(1, 28)
    r = rng.random()
    if r < 0.4:
        return f"{y}-{m:02d}-{d:02d}"
    if r < 0.5:
        return f"{MONTHS[m - 1]} {d}"
    if r < 0.58:
        return f"{d} {MONTHS[m - 1]}"
    if r < 0.63:
        return f"{MONTHS[m - 1]} {_ordinal(d)}"
    if r < 0.67:
        return f"{MONTHS_SHORT[m - 1]} {d}"
    if r < 0.72:
        return f"{d:02d}/{m:02d}/{y}"
    if r < 0.75:
        return f"{d}.{m}.{y}"
    if r < 0.8:
        return rng.choice(WEEKDAYS)
    if r < 0.85:
        return rng.choice(["next ", "this "]) + rng.choice(WEEKDAYS)
    if r < 0.9:
        return rng.choice(["tomorrow", "today", "the day after tomorrow", "next week", "the weekend"])
    if r < 0.93:
        return f"the {_ordinal(d)}"
    if r < 0.96:
        return f"{d} {rng.choice(MONTHS_FR)}"
    return f"{d}. {rng.choice(MONTHS_DE)}"


def _value_time(rng):
    h, mi = rng.randint(0, 23), rng.choice([0, 0, 5, 10, 15, 20, 30, 30, 40, 45, 50, rng.randint(0, 59)])
    r = rng.random()
    if r < 0.45:
        return f"{h:02d}:{mi:02d}"
    if r < 0.65:
        return f"{h}:{mi:02d}"
    h12 = h % 12 or 12
    if r < 0.8:
        return f"{h12}{rng.choice(['am', 'pm', ' am', ' pm', 'AM', 'PM'])}"
    if r < 0.9:
        return f"{h12}:{mi:02d}{rng.choice(['am', 'pm', ' am', ' pm', ' AM', ' PM'])}"
    if r < 0.95:
        return f"{h}h{mi:02d}" if mi else f"{h}h"
    return rng.choice(["noon", "midnight", "7 o'clock", "8 o'clock", "half past six", "quarter to nine"])


def _value_expression(rng):
    ops = ["+", "-", "*", "/"]
    a, b, c = rng.randint(1, 9999), rng.randint(1, 99), rng.randint(1, 99)
    r = rng.random()
    if r < 0.3:
        return f"{a}{rng.choice(ops)}{b}"
    if r < 0.4:
        return f"{a} {rng.choice(ops)} {b}"
    if r < 0.5:
        return f"{a}{rng.choice(ops)}{b}{rng.choice(ops)}{c}"
    if r < 0.58:
        return f"({rng.randint(1, 99)}{rng.choice(ops)}{b}){rng.choice(ops)}{c}"
    if r < 0.63:
        return f"{rng.randint(1, 99)}.{rng.randint(1, 99)}*{b}"
    if r < 0.68:
        return f"sqrt({rng.randint(1, 9999)})"
    if r < 0.72:
        return f"{rng.randint(2, 12)}^{rng.randint(2, 10)}"
    if r < 0.82:
        return f"{rng.randint(1, 99)}% of {a}"
    word = rng.choice(["plus", "minus", "times", "divided by", "multiplied by", "to the power of"])
    return f"{a} {word} {b}"


# ---------------------------------------------------------------- closed vocabularies
CURRENCY_CODES = _words("""USD, EUR, GBP, JPY, CHF, CAD, AUD, SEK, NOK, DKK, INR, CNY, MXN, BRL, ZAR, KRW, SGD,
HKD, NZD, PLN, CZK, HUF, TRY, THB, IDR, MYR, PHP, ILS, AED, SAR, EGP, ARS, CLP, COP, PEN, RUB, ISK, VND""")
CURRENCY_NAMES = {
    "USD": ["US dollars", "dollars", "U.S. dollars", "american dollars", "bucks", "Dollar", "dollar"],
    "EUR": ["euros", "euro", "Euro", "Euros", "€"],
    "GBP": ["British pounds", "pounds sterling", "pounds", "sterling", "quid", "Pfund", "livres sterling"],
    "JPY": ["yen", "Japanese yen", "yens"],
    "CHF": ["Swiss francs", "Swiss franc", "the Swiss franc", "francs suisses", "Franken"],
    "CAD": ["Canadian dollars", "Canadian dollar", "the Canadian dollar"],
    "AUD": ["Australian dollars", "Aussie dollars", "the Australian dollar"],
    "SEK": ["Swedish kronor", "Swedish krona"], "NOK": ["Norwegian kroner"], "DKK": ["Danish kroner"],
    "INR": ["rupees", "Indian rupees"], "CNY": ["yuan", "Chinese yuan", "renminbi"],
    "MXN": ["Mexican pesos", "pesos"], "BRL": ["Brazilian reais", "reais"], "ZAR": ["rand", "South African rand"],
    "KRW": ["won", "Korean won"], "NZD": ["New Zealand dollars", "Kiwi dollars"], "PLN": ["zloty", "Polish zloty"],
    "TRY": ["Turkish lira", "lira"], "THB": ["baht", "Thai baht"], "HKD": ["Hong Kong dollars"],
    "SGD": ["Singapore dollars"], "RUB": ["rubles", "roubles"], "CZK": ["Czech koruna", "crowns"],
}
CURRENCY_OF = {name.lower(): code for code, names in CURRENCY_NAMES.items() for name in names}


def _value_currency(rng):
    r = rng.random()
    code = rng.choice(CURRENCY_CODES)
    if r < 0.62:
        return code
    if r < 0.72:
        return code.lower()
    code = rng.choice(list(CURRENCY_NAMES))
    return rng.choice(CURRENCY_NAMES[code])


UNIT_PAIRS = [("km", "miles"), ("miles", "km"), ("kg", "pounds"), ("pounds", "kg"),
              ("celsius", "fahrenheit"), ("fahrenheit", "celsius"), ("liters", "gallons"),
              ("gallons", "liters"), ("meters", "feet"), ("feet", "meters"), ("cm", "inches"),
              ("inches", "cm"), ("grams", "ounces"), ("ounces", "grams"), ("yards", "meters"),
              ("mph", "kph"), ("kph", "mph"), ("cups", "ml"), ("ml", "cups")]
UNIT_NAMES = {
    "km": ["km", "km", "kilometers", "kilometres", "kilometer", "klicks"],
    "miles": ["miles", "miles", "mile", "mi"],
    "kg": ["kg", "kg", "kilos", "kilograms", "kilogrammes", "kilo"],
    "pounds": ["pounds", "pounds", "lbs", "lb", "pound"],
    "celsius": ["celsius", "Celsius", "degrees celsius", "°C", "C"],
    "fahrenheit": ["fahrenheit", "Fahrenheit", "degrees fahrenheit", "°F", "F"],
    "liters": ["liters", "litres", "liter", "litre", "l"],
    "gallons": ["gallons", "gallon", "gal"],
    "meters": ["meters", "metres", "meter", "m"],
    "feet": ["feet", "foot", "ft"],
    "cm": ["cm", "centimeters", "centimetres"],
    "inches": ["inches", "inch", "in"],
    "grams": ["grams", "grammes", "gram", "g"],
    "ounces": ["ounces", "ounce", "oz"],
    "yards": ["yards", "yard", "yd"],
    "mph": ["mph", "miles per hour"],
    "kph": ["kph", "km/h", "kilometers per hour", "kmh"],
    "cups": ["cups", "cup"],
    "ml": ["ml", "milliliters", "millilitres", "mL"],
}
UNIT_OF = {name.lower(): unit for unit, names in UNIT_NAMES.items() for name in names}
MODE_PHRASES = {
    "driving": ["by car", "driving", "by driving", "in the car", "en voiture", "mit dem Auto"],
    "walking": ["on foot", "walking", "by walking", "à pied", "zu Fuß"],
    "transit": ["by public transport", "by transit", "by bus", "by train", "using transit", "by metro",
                "by subway", "on public transport", "en transports en commun", "mit der Bahn", "mit dem Bus"],
    "cycling": ["by bike", "cycling", "by bicycle", "on my bike", "à vélo", "mit dem Fahrrad", "mit dem Rad"],
}
MODE_OF = {phrase.lower(): mode for mode, phrases in MODE_PHRASES.items() for phrase in phrases}


def _value_mode(rng):
    mode = rng.choice(list(MODE_PHRASES))
    phrases = MODE_PHRASES[mode]
    return phrases[0] if rng.random() < 0.4 else rng.choice(phrases)


# ---------------------------------------------------------------- words and free text
NOUNS = _words("""keys, wallet, passport, tickets, charger, laptop, umbrella, jacket, groceries, bread, milk,
eggs, coffee, tea, wine, cake, flowers, gift, card, letter, package, parcel, invoice, receipt, report,
slides, contract, lease, budget, plan, schedule, agenda, meeting, call, interview, presentation, demo,
deadline, launch, release, update, patch, server, database, backup, website, app, printer, ink, paper,
batteries, lamp, sofa, table, chair, fridge, oven, washing machine, dishwasher, heater, boiler, roof,
window, door, garden, lawn, plants, tomatoes, dog, cat, fish, rabbit, car, bike, tyres, oil, brakes,
train, bus, flight, hotel, taxi, ferry, trip, holiday, vacation, weekend, party, wedding, birthday,
dinner, lunch, breakfast, picnic, barbecue, concert, match, game, movie, show, book, magazine, podcast,
homework, exam, essay, thesis, course, class, lesson, rehearsal, practice, appointment, dentist, doctor,
vet, pharmacy, prescription, medication, vitamins, gym, yoga, run, swim, hike,
car insurance, phone bill, electricity bill, rent, mortgage, taxes, pension, savings, photos, documents""")
ADJECTIVES = _words("""best, cheap, easy, quick, healthy, vegan, famous, local, modern, ancient, simple, spicy,
classic, new, old, small, large, quiet, popular, rare, free, safe, strange, green, warm, cold, fresh,
homemade, organic, electric, wooden, vintage, cozy, fast, slow, long, short, bright, dark, secret""")
VERB_PHRASES = _words("""call the bank, pay the rent, water the plants, walk the dog,
pick up the kids, buy milk, buy bread, book a table, renew my passport,
cancel the gym membership, send the invoice, sign the contract, back up the laptop, charge the car, take out the trash, take out the bins, call grandma, call the plumber, email the landlord,
check the oven, switch off the heating, lock the door, collect the package, return the library books,
submit the report, prepare the slides, print the tickets, pack the suitcase, check in for the flight,
book the dentist, pay the phone bill, order printer ink, clean the windows, fix the bike, call the vet,
stretch, drink water, stand up, leave for the airport, join the standup, start the washing machine,
defrost the chicken, buy a birthday present, confirm the reservation, update the budget""")
HOWTO = _words("""learn python, bake bread, fix a bike, tie a tie, grow tomatoes, train for a marathon,
save money, speak spanish, paint a wall, write a resume, brew coffee, meditate, juggle, knit a scarf,
clean a laptop, plant a tree, change a tire, make pasta, draw a face, swim faster, descale a kettle,
remove a stain, sleep better, start a podcast, learn guitar, fold a fitted sheet, make sourdough,
reset a router, unclog a drain, negotiate a salary, file taxes, back up a phone, train a puppy""")
THINGS = _words("""pizza recipe, hiking boots, electric cars, jazz festivals, running shoes, coffee beans,
board games, camping tents, sushi places, yoga classes, garden plants, mountain trails, city parks,
winter jackets, laptops, headphones, bread recipes, language courses, museums, beaches, castles,
train routes, soup recipes, chess openings, guitar lessons, night markets, tea shops, bike lanes,
hiking trails, ski resorts, vegan bakeries, bookshops, flea markets, hot springs, wine bars""")
TOPICS = _words("""technology, sports, politics, science, health, business, music, travel, climate, space,
education, movies, economy, football, tennis, elections, medicine, finance, art, fashion, food,
gaming, energy, housing, crypto, startups, wildlife, oceans, astronomy, history, theatre, books,
cycling, aviation, robotics, farming, law, religion, architecture, photography, artificial intelligence,
climate change, the stock market, the housing market, renewable energy,
the Olympics, the World Cup, the elections, space exploration, public transport, cybersecurity, inflation, interest rates, vaccines, the heatwave, the storm, local politics""")


def _value_topic(rng):
    r = rng.random()
    if r < 0.6:
        return rng.choice(TOPICS)
    if r < 0.75:
        return f"{rng.choice(ADJECTIVES)} {rng.choice(TOPICS)}"
    if r < 0.9:
        return f"the {_invented_word(rng).capitalize()} {rng.choice(['election', 'summit', 'festival', 'strike', 'merger', 'mission', 'trial', 'project'])}"
    return f"{rng.choice(TOPICS)} in {_value_city(rng)}"


def _value_query_text(rng):
    r = rng.random()
    if r < 0.25:
        return f"{rng.choice(ADJECTIVES)} {rng.choice(THINGS)}"
    if r < 0.5:
        return f"how to {rng.choice(HOWTO)}"
    if r < 0.65:
        return f"{rng.choice(['best', 'cheap', 'top rated', 'good'])} {rng.choice(THINGS)} {rng.choice(['in', 'near'])} {_value_city(rng)}"
    if r < 0.75:
        return f"the history of {rng.choice(['the', ''])} {_invented_word(rng).capitalize()} {rng.choice(['bridge', 'tower', 'castle', 'empire', 'festival'])}".replace("  ", " ")
    if r < 0.85:
        return f"why do {rng.choice(['cats', 'dogs', 'birds', 'bees', 'leaves', 'stars', 'onions'])} {rng.choice(['purr', 'sleep so much', 'migrate', 'change colour', 'make you cry', 'twinkle'])}"
    if r < 0.92:
        return f"{rng.choice(THINGS)} {rng.choice(['reviews', 'prices', 'opening hours', 'for beginners', '2025'])}"
    return f"{rng.choice(['recette de', 'Rezept für', 'avis sur', 'Tipps für'])} {rng.choice(FOODS)}"


LANGUAGES = _words("""French, German, Spanish, Italian, Japanese, Portuguese, Dutch, Korean, Chinese,
Swedish, Greek, Polish, Turkish, Arabic, Hindi, Russian, Czech, Danish, Finnish, Norwegian,
Hungarian, Romanian, Thai, Vietnamese, Indonesian, Hebrew, Ukrainian, Catalan, Irish, Welsh, Swahili,
Mandarin, Cantonese, Tagalog, Bengali, Urdu, Persian, Icelandic, Latin, Esperanto""")
FOREIGN_LANGUAGES = _words("""français, anglais, allemand, italien, portugais, Englisch,
Französisch, Spanisch, Italienisch, Japanisch, Deutsch""")


def _value_language(rng):
    r = rng.random()
    if r < 0.7:
        return rng.choice(LANGUAGES)
    if r < 0.85:
        return rng.choice(LANGUAGES).lower()
    return rng.choice(FOREIGN_LANGUAGES)


SENTENCES = _words("""good morning, where is the station, thank you very much, I love this city, how much
does it cost, see you tomorrow, the bill please, happy birthday, I am lost, nice to meet you, what
time is it, call a doctor, the train is late, I need help, where is the hotel, a table for two,
I would like a coffee, the weather is nice, can you help me, good night, excuse me, I do not understand,
speak more slowly, where are the toilets, one ticket please, it is too expensive, I am hungry,
open the window, close the door, I'm allergic to nuts, is this seat free,
do you speak English, how do I get to the airport, I have a reservation,
we are running late, congratulations, welcome home, what do you recommend, no ice please,
I'll be there in five minutes, can I pay by card, is breakfast included, my luggage is lost""")
MESSAGE_PARTS = _words("""running late, call me back, see you at noon, happy new year, dinner is ready,
meeting moved to friday, on my way, thanks for the help, can you pick me up, the package arrived,
good luck today, miss you, stuck in traffic, home in ten minutes, bring the keys, the kids are asleep,
movie starts at eight, lunch tomorrow, call the bank, the door is open, buy some bread, see you soon,
congrats on the new job, the car is fixed""")
SUBJECTS = ["I", "I", "we", "the kids", "the team", "Mom", "the train", "the bus", "my flight", "the meeting",
            "dinner", "the package", "the plumber", "the car", "the report", "the doctor", "your order", "the party"]
PREDICATES = ["will be late", "am running late", "is running late", "got moved to {day}", "starts at {time}",
              "is postponed until {day}", "arrived damaged", "is ready", "needs to be signed", "was great",
              "is delayed by {n} minutes", "is cancelled", "will be there at {time}", "am stuck in traffic",
              "is at the station", "left the keys at home", "forgot the charger", "will call you at {time}",
              "need {n} more minutes", "is on the way", "finished early", "won't make it tonight",
              "is moved to room {n}", "arrives at {time}", "is fixed", "is sold out", "loved the gift"]
IMPERATIVES = ["don't forget the {noun}", "bring the {noun}", "call me when you land", "pick up the {noun} on the way home",
               "start without me", "save me a seat", "check your email",
               "feed the {pet}", "water the plants", "lock the door", "buy some {noun}", "meet me at {place}",
               "text me when you get home", "bring your {noun}", "book the {noun} for {day}",
               "send me the {noun}", "leave the {noun} at reception", "call the {person2} back"]
GREETINGS = ["happy birthday", "good luck with the {noun}", "thanks for the {noun}",
             "happy anniversary", "get well soon", "welcome back", "have a great day", "safe travels",
             "sorry about earlier", "love you", "merry christmas", "happy holidays", "well done on the {noun}"]
FOREIGN_MESSAGES = _words("""je serai en retard, à ce soir, merci pour tout, on se voit demain, bon anniversaire, bis morgen, danke für alles, alles Gute zum Geburtstag, ich bin unterwegs,
das Treffen ist verschoben, le dîner est prêt""")


def _fill(rng, text):
    return text.format(day=rng.choice(WEEKDAYS + ["tomorrow", "next week", "Monday morning"]),
                       time=_value_time(rng), n=rng.randint(2, 45), noun=rng.choice(NOUNS),
                       pet=rng.choice(["cat", "dog", "fish", "rabbit"]), place=_value_place(rng),
                       person2=rng.choice(["plumber", "doctor", "landlord", "bank", "school"]))


def _clause(rng):
    r = rng.random()
    if r < 0.35:
        return _fill(rng, f"{rng.choice(SUBJECTS)} {rng.choice(PREDICATES)}")
    if r < 0.65:
        return _fill(rng, rng.choice(IMPERATIVES))
    if r < 0.8:
        return _fill(rng, rng.choice(GREETINGS))
    if r < 0.92:
        return rng.choice(MESSAGE_PARTS)
    return rng.choice(FOREIGN_MESSAGES)


def _value_message(rng):
    m = _clause(rng)
    r = rng.random()
    if r < 0.25:
        m += rng.choice([" and ", " so ", ", ", " but ", " because "]) + _clause(rng)
    elif r < 0.32:
        m += rng.choice([", ", " and "]) + _clause(rng) + rng.choice([" and ", ", "]) + _clause(rng)
    elif r < 0.38:
        # Pure copying: a run of unrelated words.
        m = " ".join(rng.choice(NOUNS + ADJECTIVES + FIRST_NAMES) for _ in range(rng.randint(3, 9)))
    if rng.random() < 0.2:
        m = m[0].upper() + m[1:]
    return m


def _value_note(rng):
    r = rng.random()
    if r < 0.3:
        return rng.choice(VERB_PHRASES)
    if r < 0.45:
        items = rng.sample(NOUNS, rng.randint(2, 4))
        return f"buy {', '.join(items[:-1])} and {items[-1]}"
    if r < 0.55:
        code = _invented_word(rng).capitalize() + rng.choice(["-", "_", "", "!"]) + str(rng.randint(1, 9999))
        return f"the {rng.choice(['wifi', 'door', 'alarm', 'locker', 'garage'])} {rng.choice(['password', 'code', 'pin'])} is {code}"
    if r < 0.65:
        return _fill(rng, f"the {rng.choice(['plumber', 'electrician', 'cleaner', 'delivery', 'nanny'])} comes on {{day}} between {rng.randint(7, 12)} and {rng.randint(1, 6)}")
    if r < 0.75:
        return f"ideas for {rng.choice(NOUNS)}: {rng.choice(NOUNS)}, {rng.choice(NOUNS)}"
    if r < 0.85:
        return _value_message(rng)
    return f"{rng.choice(['call', 'email', 'visit', 'thank'])} {_value_person(rng)} about the {rng.choice(NOUNS)}"


def _value_event_title(rng):
    r = rng.random()
    if r < 0.25:
        return f"{rng.choice(['lunch', 'dinner', 'coffee', 'drinks', 'call', 'meeting', 'catch-up'])} with {_value_person(rng)}"
    if r < 0.45:
        return f"{rng.choice(NOUNS).capitalize() if rng.random() < 0.5 else rng.choice(NOUNS)} {rng.choice(['meeting', 'review', 'appointment', 'planning', 'deadline', 'party', 'check'])}"
    if r < 0.55:
        return f"{rng.choice(FIRST_NAMES)}'s {rng.choice(['birthday', 'party', 'farewell', 'wedding', 'recital'])}"
    if r < 0.65:
        return rng.choice(["standup", "all hands", "sprint planning", "yoga class", "piano lesson", "date night",
                           "job interview", "flight to Rome", "book club", "board meeting", "quarterly review"])
    if r < 0.8:
        return rng.choice(VERB_PHRASES)
    if r < 0.9:
        return f"{_invented_word(rng).capitalize()} {rng.choice(['project', 'workshop', 'kickoff', 'offsite', 'demo', 'sync'])}"
    # titles with words that also mark dates, times and places ("Dinner at the club")
    return rng.choice([f"{rng.choice(['School concert', 'Dinner', 'Drinks', 'Dentist', 'Pickup', 'Training'])} at {rng.choice(['school', 'the club', 'work', 'home', _rare_name(rng)])}",
                       f"{rng.choice(['meeting', 'call', 'talk'])} about the {rng.choice(NOUNS)} on {rng.choice(['site', 'Zoom', 'the roof'])}",
                       f"{rng.choice(FIRST_NAMES)} and {_rare_name(rng)}'s wedding",
                       f"{rng.choice(['team', 'family', 'class'])} {rng.choice(['offsite', 'reunion', 'dinner', 'trip'])} for {rng.choice(['May', 'spring', 'the summer', 'Q3'])}"])


WORDS = _words("""serendipity, ephemeral, ubiquitous, laconic, quixotic, mellifluous, gregarious,
pernicious, sanguine, obfuscate, ineffable, petrichor, ebullient, lugubrious, sycophant, taciturn,
verbose, zealous, ambivalent, benevolent, cacophony, diligent, eloquent, fastidious, garrulous,
hubris, idiosyncrasy, juxtapose, kinetic, luminous, magnanimous, nebulous, ostentatious, paradox,
quintessential, resilient, surreptitious, tenacious, umbrage, vicarious, wistful, zenith, alacrity,
bucolic, capricious, deleterious, enigma, furtive, halcyon, insidious, jocular, labyrinth,
, pedantic, perfunctory, recalcitrant, sanctimonious, ubiquity, vacuous, zeitgeist,
schadenfreude, wanderlust, hygge, ennui, gemütlich, saudade, dérive, apricity, defenestration,
onomatopoeia, sesquipedalian, penultimate, irony, metaphor, algorithm, entropy, photosynthesis""")


def _value_word(rng):
    r = rng.random()
    if r < 0.5:
        return rng.choice(WORDS)
    if r < 0.75:
        return _rare_word(rng, (2, 5))
    return _invented_word(rng).lower() + rng.choice(["", "ous", "ity", "ism", "ate", "ine"])


CUISINES = _words("""italian, japanese, mexican, indian, thai, french, vegan, greek, korean, lebanese,
spanish, vietnamese, chinese, turkish, ethiopian, moroccan, peruvian, brazilian, german, polish,
russian, persian, caribbean, cajun, hawaiian, portuguese, malaysian, filipino, georgian, nepalese, ramen, pizza, tapas, dim sum, bbq, seafood, vegetarian, burger, steak, kebab, falafel,
middle eastern, sri lankan, west african, szechuan""")


def _value_cuisine(rng):
    c = rng.choice(CUISINES) if rng.random() < 0.85 else _rare_word(rng, (2, 3)) + rng.choice(["ian", "ese", "i", "an"])
    return c.capitalize() if rng.random() < 0.3 else c


MOVIES = _words("""Dune, Inception, Oppenheimer, Barbie, Interstellar, Arrival, Up, Coco, Amelie, Parasite,
Alien, Heat, Jaws, Rocky, Casablanca, Vertigo, Psycho, Titanic, Avatar, Gladiator, Memento, Her,
Moonlight, Joker, Frozen, Shrek, Cars, Brave, Soul, Luca, Tenet, Gravity, Whiplash, Drive, Fargo,
Goodfellas, Amadeus, Ratatouille, Wall-E, Matilda, Babe, Rango, Logan, Elvis, Nope, Past Lives,
The Matrix, Blade Runner, Top Gun, Jurassic Park, Mad Max, Toy Story, Black Panther, Little Women, , Poor Things, Anatomy of a Fall, The Zone of Interest,
Everything Everywhere All at Once, Spider-Man: No Way Home, Mission: Impossible, The Holdovers,
Killers of the Flower Moon, Godzilla Minus One, Wicked, Gladiator II, Paddington 2""")
TITLE_WORDS = _words("""Shadow, River, Night, Last, Silent, Golden, Iron, Lost, Hidden, Broken, Winter, Summer,
Secret, Crimson, Wild, Distant, Glass, Stone, Paper, Electric, Midnight, Northern, Hollow, Burning""")
TITLE_NOUNS = _words("""Kingdom, Garden, Road, City, Sea, Mountain, Promise, Letter, Empire, Dream, Island,
Station, Horizon, Storm, Forest, Harbour, Machine, Orchard, Planet, Signal, Crown, Frontier""")


def _value_movie(rng):
    r = rng.random()
    if r < 0.45:
        return rng.choice(MOVIES)
    if r < 0.65:
        return f"The {rng.choice(TITLE_WORDS)} {rng.choice(TITLE_NOUNS)}"
    if r < 0.75:
        return f"{rng.choice(TITLE_WORDS)} {rng.choice(TITLE_NOUNS)} {rng.randint(2, 4)}"
    if r < 0.85:
        return f"{rng.choice(TITLE_NOUNS)}: {rng.choice(['Part Two', 'Reckoning', 'The Return', 'Origins', 'Rising'])}"
    if r < 0.9:
        return f"{rng.choice(['Le', 'La', 'Der', 'Die', 'Das'])} {rng.choice(TITLE_NOUNS)}"
    if r < 0.96:
        # four and five words, which a model tends to cut short
        return rng.choice([f"The {rng.choice(TITLE_WORDS)} {_rare_name(rng)} {rng.choice(TITLE_NOUNS)}",
                           f"{rng.choice(['Le', 'La'])} {_rare_name(rng)} de {_rare_name(rng)}-{_rare_name(rng)}",
                           f"{rng.choice(TITLE_WORDS)} {rng.choice(TITLE_NOUNS)} of the {rng.choice(TITLE_NOUNS)} {rng.randint(2, 4)}"])
    return rng.choice([_invented_word(rng).capitalize(), _rare_name(rng)])


ARTISTS = _words("""Beyonce, Coldplay, Adele, Queen, Daft Punk, Miles Davis, Taylor Swift, Radiohead, ABBA,
Nina Simone, Bach, Shakira, Mozart, Beethoven, Chopin, Vivaldi, Bob Dylan, David Bowie, Prince,
Madonna, Rihanna, Drake, Eminem, Metallica, Nirvana, Oasis, Blur, U2, Sade, Bjork, Stromae,
Rammstein, Kraftwerk, Edith Piaf, Aretha Franklin, Ella Fitzgerald, John Coltrane, Bob Marley,
Elvis Presley, The Beatles, Pink Floyd, Led Zeppelin, Norah Jones, Billie Eilish, Dua Lipa,
Ed Sheeran, Lady Gaga, Bruno Mars, Frank Sinatra, Johnny Cash, ,
Arctic Monkeys, The Rolling Stones, , Hans Zimmer, Kendrick Lamar,
Bad Bunny, Rosalía, Ravi Shankar, Fela Kuti, Buena Vista Social Club, Sigur Rós, Christine and the Queens""")
BAND_NOUNS = _words("""Wolves, Lanterns, Pilots, Rivers, Echoes, Foxes, Engines, Sparrows, Comets, Tigers,
Giants, Ghosts, Strangers, Daughters, Machines, Waves, Kings, Lovers""")


def _value_artist(rng):
    r = rng.random()
    if r < 0.4:
        return rng.choice(ARTISTS)
    if r < 0.5:
        return f"The {rng.choice(TITLE_WORDS)} {rng.choice(BAND_NOUNS)}"
    if r < 0.58:
        return f"{rng.choice(TITLE_WORDS)} {rng.choice(TITLE_WORDS)} {rng.choice([_rare_name(rng), rng.choice(TITLE_NOUNS)])} {rng.choice(BAND_NOUNS)}"
    if r < 0.7:
        return f"{rng.choice(FIRST_NAMES)} {rng.choice(LAST_NAMES)}"
    if r < 0.8:
        return f"{rng.choice(FIRST_NAMES + [_rare_name(rng)])} {_rare_name(rng)}"
    if r < 0.9:
        return f"{_invented_name(rng)} {_invented_word(rng).capitalize()}"
    return f"DJ {_invented_name(rng)}"


TEAMS = _words("""Lakers, Yankees, Arsenal, Real Madrid, Celtics, Bayern, Juventus, Chelsea, Warriors,
Dodgers, Ajax, Benfica, Barcelona, Liverpool, Milan, Inter, Porto, Celtic, Rangers, Bulls, Knicks,
Heat, Spurs, Mets, Cubs, Red Sox, Giants, Packers, Patriots, Eagles, Steelers, Chiefs, Raiders,
Bruins, Canucks, Lyon, Marseille, Napoli, Roma, Lazio, Dortmund, Leipzig, Sevilla,
Valencia, Feyenoord, PSV, Galatasaray, Fenerbahce, Boca Juniors, River Plate, Flamengo, Manchester City, ,
Paris Saint-Germain, Atletico Madrid, Bayern Munich, Los Angeles Lakers, Boston Celtics, Chicago Bulls,
New York Yankees, Tottenham Hotspur, Aston Villa, Newcastle United, Inter Miami, LA Galaxy""")
MASCOTS = _words("""Tigers, Bears, Eagles, Sharks, Wolves, Falcons, Lions, Rangers, Rovers, United, City,
Athletic, Wanderers, Stars, Hawks, Bulls, Jets, Panthers, Kings, Knights, Pirates, Giants""")


def _value_team(rng):
    r = rng.random()
    if r < 0.5:
        return rng.choice(TEAMS)
    if r < 0.58:
        return f"{_rare_name(rng)} {rng.choice([_rare_name(rng), rng.choice(CITIES)])}"
    if r < 0.66:
        return f"{rng.choice(CITIES + TITLE_WORDS)} {rng.choice([_rare_name(rng), rng.choice(TITLE_WORDS)])} {rng.choice(MASCOTS)}"
    if r < 0.85:
        return f"{rng.choice(CITIES + MULTIWORD_CITIES)} {rng.choice(MASCOTS)}"
    return f"{_invented_word(rng).capitalize()} {rng.choice(MASCOTS)}"


ROOMS = _words("""kitchen, bedroom, living room, office, bathroom, garage, hallway, basement, attic, porch,
dining room, nursery, study, laundry room, guest room, patio, master bedroom, lounge,
upstairs bathroom, downstairs hallway, garden, balcony, playroom, workshop, cellar, loft, den, conservatory""")


def _value_room(rng):
    r = rng.random()
    if r < 0.8:
        return rng.choice(ROOMS)
    if r < 0.9:
        return f"{rng.choice(FIRST_NAMES)}'s room"
    return f"{rng.choice(['small', 'big', 'front', 'back', 'blue', 'upstairs', 'downstairs'])} {rng.choice(ROOMS[:12])}"


RESTAURANT_NAMES = _words("""Luigi, Mario, Rosa, Chen, Sakura, Ali, Maria, Pedro, Anna, Kim, Omar, Sophie, Hans,
Nico, Lola, Bruno, Yuki, Ravi, Elif, Tariq, Tony, Mama, Papa, Uncle, Auntie""")
RESTAURANT_KINDS = _words("""Kitchen, Bistro, Diner, Grill, Cafe, Trattoria, Noodle Bar, Pizzeria, Taqueria,
Sushi Bar, Curry House, Steakhouse, Bakery, Canteen, Brasserie, Express, Garden, House, Palace, Corner""")


def _value_restaurant(rng):
    r = rng.random()
    if r < 0.35:
        return f"{rng.choice(RESTAURANT_NAMES)}'s {rng.choice(RESTAURANT_KINDS)}"
    if r < 0.55:
        return f"{rng.choice(ADJECTIVES).capitalize()} {rng.choice(RESTAURANT_KINDS)}"
    if r < 0.7:
        return f"{rng.choice(CITIES)} {rng.choice(RESTAURANT_KINDS)}"
    if r < 0.8:
        return f"{rng.choice(['Da', 'Chez', 'Casa', 'Le', 'La', 'Zum'])} {rng.choice(RESTAURANT_NAMES + FIRST_NAMES)}"
    if r < 0.9:
        return f"{rng.choice(['Thai', 'Golden', 'Little', 'Royal', 'Blue', 'Red'])} {rng.choice(['Orchid', 'Dragon', 'Lotus', 'Elephant', 'Lantern', 'Olive', 'Bamboo'])}"
    return f"{_invented_word(rng).capitalize()} {rng.choice(RESTAURANT_KINDS)}"


FOODS = _words("""margherita pizza, salmon roll, cheeseburger, chicken tacos, caesar salad, lamb curry,
beef pho, onion soup, fried rice, pad thai, falafel wrap, ramen, veggie burger, fish and chips,
mushroom risotto, greek salad, chicken tikka, beef burrito, tofu stir fry, lasagna, carbonara,
shrimp tempura, tomato soup, club sandwich, bibimbap, paella, goulash, dumplings, kebab plate,
pancakes, apple pie, chocolate cake, sushi platter, spring rolls, gnocchi, poke bowl,
, , margherita, hawaiian pizza, butter chicken, green curry,
chicken wings, nachos, quesadilla, croissant, bagel, cheesecake, miso soup, udon, pho, banh mi""")


def _value_food(rng):
    if rng.random() < 0.15:
        return " ".join(filter(None, [rng.choice(["", "chicken", "beef", "veggie", "lamb", "tofu", "large", "spicy"]),
                                      _rare_word(rng, (1, 3)), rng.choice(["", "", _rare_word(rng, (1, 2))]),
                                      rng.choice(["", "wrap", "bowl", "plate", "roll", "soup", "curry", "pizza"])]))
    f = rng.choice(FOODS)
    r = rng.random()
    if r < 0.25:
        f = rng.choice(["large", "small", "spicy", "double", "extra cheese", "gluten free", "vegan", "family size"]) + " " + f
    elif r < 0.35:
        f = f"{rng.choice(['two', 'three', '2', '3'])} {f}"
    return f


# ---------------------------------------------------------------- pools and splits
# pool name -> (generator, split by hash?)
GENERATORS: dict[str, tuple[Callable[[random.Random], str], bool]] = {
    "city": (_value_city, True),
    "place": (_value_place, True),
    "date": (_value_date, True),
    "time": (_value_time, True),
    "currency": (_value_currency, False),
    "amount": (_value_amount, True),
    "minutes": (_value_minutes, True),
    "person": (_value_person, True),
    "email": (_value_email, True),
    "topic": (_value_topic, True),
    "query_text": (_value_query_text, True),
    "symbol": (_value_symbol, True),
    "language": (_value_language, True),
    "phrase": (lambda rng: rng.choice(SENTENCES) if rng.random() < 0.6 else _value_message(rng), True),
    "artist": (_value_artist, True),
    "mode": (_value_mode, False),
    "restaurant": (_value_restaurant, True),
    "food": (_value_food, True),
    "message": (_value_message, True),
    "subject": (lambda rng: _value_message(rng) if rng.random() < 0.6 else _value_event_title(rng), True),
    "expression": (_value_expression, True),
    "word": (_value_word, True),
    "tracking": (_value_tracking, True),
    "cuisine": (_value_cuisine, True),
    "movie": (_value_movie, True),
    "temperature": (_int_value(10, 32, words=0.05), True),
    "room": (_value_room, False),
    "team": (_value_team, True),
    "country": (_value_country, True),
    "note": (_value_note, True),
    "task": (lambda rng: rng.choice(VERB_PHRASES) if rng.random() < 0.6 else _value_note(rng), True),
    "title": (_value_event_title, True),
    "days": (_int_value(1, 16), True),
    "nights": (_int_value(1, 21), True),
    "unit": (lambda rng: rng.choice(list(UNIT_OF)), False),
}


def value_split(pool: str, value: str) -> str:
    """The split a slot value belongs to: a quarter of the values (by hash) are held out."""
    if not GENERATORS[pool][1]:
        return "both"
    return "test" if zlib.crc32(f"{pool}:{value.lower()}".encode()) % 4 == 0 else "train"


def draw_value(pool: str, rng: random.Random, split: str | None = None) -> str:
    """A surface value of `pool` from `split` ("train", "test"; None for either)."""
    gen = GENERATORS[pool][0]
    while True:
        v = gen(rng)
        s = value_split(pool, v)
        if split is None or s in ("both", split):
            return v


# ---------------------------------------------------------------- surface -> argument
def number(v: str):
    v = v.strip()
    if v.lower() in NUMBER_WORDS:
        return NUMBER_WORDS[v.lower()]
    return int(v) if v.isdigit() else float(v)


def currency(v: str) -> str:
    return CURRENCY_OF.get(v.lower(), v.upper())


def unit(v: str) -> str:
    return UNIT_OF.get(v.lower(), v)


def mode(v: str) -> str:
    return MODE_OF.get(v.lower(), v)
