"""Synthetic tool-calling task: a tool catalogue, query templates with slots, and seeded
train/test splits whose test side holds unseen slot values and unseen query templates.

Every example is (query, tools_json, completion): the tools offered (2 to 6, the right one
among them unless the example is an abstention), and the completion the model must produce:
an optional short <think> block, then <tool_call>{compact JSON}</tool_call>, where an
abstention's payload is [].
"""
from __future__ import annotations

import dataclasses
import json
import random
import zlib
from typing import Callable

# ---------------------------------------------------------------- slot values
# Slot values are drawn from large word lists and procedural generators, so that a model can
# only get the arguments right by copying them from the query. Each value belongs to one split
# by a hash of its text (a quarter to the test split), so held-out values never occur in
# training. Small closed enumerations (travel modes, unit pairs, rooms) are shared.
def _words(text: str) -> list[str]:
    return [w.strip() for w in text.split(",") if w.strip()]


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
Bern, Lausanne, Luxembourg, Monaco, Valletta, Nicosia, Tbilisi, Yerevan, Baku, Almaty, Tashkent""")
PERSONS = _words("""Alice, Bob, Carol, David, Emma, Frank, Grace, Henry, Isla, Jack, Karen, Liam, Mia,
Noah, Olivia, Paul, Quinn, Rosa, Sam, Tina, Uma, Victor, Wendy, Xavier, Yara, Zoe, Aaron, Bella,
Chloe, Daniel, Elena, Felix, Georgia, Hugo, Ivan, Julia, Kevin, Laura, Marco, Nina, Oscar, Priya,
Rachel, Simon, Theo, Ursula, Vera, Walter, Amir, Beatrice, Carlos, Diana, Ethan, Fatima, Gabriel,
Hannah, Igor, Jasmine, Kai, Leila, Mateo, Nora, Omar, Petra, Rami, Sofia, Tomas, Ulla, Vincent,
Willa, Yusuf, Zara, Anton, Bianca, Cedric, Dora, Emil, Freya, Gustav, Helga, Ines, Jonas, Klara,
Lukas, Marta, Nils, Otto, Pia, Rita, Stefan, Tanja, Ute, Viktor, Wanda, Adele, Bruno, Celine,
Denis, Elise, Fabien, Gilles, Helene, Jules, Lea, Manon, Nathan, Pierre, Remi, Sylvie, Yann""")
DOMAINS = _words("example.com, example.org, mail.com, work.net, corp.io, uni.edu, shop.com, lab.dev, "
                 "home.net, studio.org, post.de, mail.fr, firm.co, office.biz")
TOPICS = _words("""technology, sports, politics, science, health, business, music, travel, climate, space,
education, movies, economy, football, tennis, elections, medicine, finance, art, fashion, food,
gaming, energy, housing, crypto, startups, wildlife, oceans, astronomy, history, theatre, books,
cycling, aviation, robotics, farming, law, religion, architecture, photography""")
ADJECTIVES = _words("""best, cheap, easy, quick, healthy, vegan, famous, local, modern, ancient, simple,
spicy, classic, new, old, small, large, quiet, popular, rare, free, safe, strange, green, warm""")
NOUNS = _words("""pizza recipe, hiking boots, electric cars, jazz festivals, running shoes, coffee beans,
board games, camping tents, sushi places, yoga classes, garden plants, mountain trails, city parks,
winter jackets, laptops, headphones, bread recipes, language courses, museums, beaches, castles,
train routes, soup recipes, chess openings, guitar lessons, night markets, tea shops, bike lanes""")
VERBS_HOWTO = _words("""learn python, bake bread, fix a bike, tie a tie, grow tomatoes, train for a marathon,
save money, speak spanish, paint a wall, write a resume, brew coffee, meditate, juggle, knit a scarf,
clean a laptop, plant a tree, change a tire, make pasta, draw a face, swim faster""")
CURRENCIES = _words("""USD, EUR, GBP, JPY, CHF, CAD, AUD, SEK, NOK, DKK, INR, CNY, MXN, BRL, ZAR, KRW, SGD,
HKD, NZD, PLN, CZK, HUF, TRY, THB, IDR, MYR, PHP, ILS, AED, SAR, EGP, ARS, CLP, COP, PEN, RUB""")
UNIT_PAIRS = [("km", "miles"), ("miles", "km"), ("kg", "pounds"), ("pounds", "kg"),
              ("celsius", "fahrenheit"), ("fahrenheit", "celsius"), ("liters", "gallons"),
              ("gallons", "liters"), ("meters", "feet"), ("feet", "meters"), ("cm", "inches"),
              ("inches", "cm"), ("grams", "ounces"), ("ounces", "grams"), ("yards", "meters"),
              ("mph", "kph"), ("kph", "mph"), ("cups", "ml"), ("ml", "cups")]
LANGUAGES = _words("""French, German, Spanish, Italian, Japanese, Portuguese, Dutch, Korean, Chinese,
Swedish, Greek, Polish, Turkish, Arabic, Hindi, Russian, Czech, Danish, Finnish, Norwegian,
Hungarian, Romanian, Thai, Vietnamese, Indonesian, Hebrew, Ukrainian, Catalan, Irish, Welsh""")
PHRASE_WORDS = _words("""good morning, where is the station, thank you very much, I love this city, how much
does it cost, see you tomorrow, the bill please, happy birthday, I am lost, nice to meet you, what
time is it, call a doctor, the train is late, I need help, where is the hotel, a table for two,
I would like a coffee, the weather is nice, my name is, can you help me, good night, excuse me,
I do not understand, speak more slowly, where are the toilets, one ticket please, it is too
expensive, I am hungry, open the window, close the door""")
ARTISTS = _words("""Beyonce, Coldplay, Adele, Queen, Daft Punk, Miles Davis, Taylor Swift, Radiohead, ABBA,
Nina Simone, Bach, Shakira, Mozart, Beethoven, Chopin, Vivaldi, Bob Dylan, David Bowie, Prince,
Madonna, Rihanna, Drake, Eminem, Metallica, Nirvana, Oasis, Blur, U2, Sade, Bjork, Stromae,
Rammstein, Kraftwerk, Edith Piaf, Aretha Franklin, Ella Fitzgerald, John Coltrane, Bob Marley,
Elvis Presley, The Beatles, Pink Floyd, Led Zeppelin, Norah Jones, Billie Eilish, Dua Lipa,
Ed Sheeran, Lady Gaga, Bruno Mars, Frank Sinatra, Johnny Cash""")
MODES = ["driving", "walking", "transit", "cycling"]
RESTAURANT_NAMES = _words("""Luigi, Mario, Rosa, Chen, Sakura, Ali, Maria, Pedro, Anna, Kim, Omar, Sophie, Hans,
Nico, Lola, Bruno, Yuki, Ravi, Elif, Tariq""")
RESTAURANT_KINDS = _words("""Kitchen, Bistro, Diner, Grill, Cafe, Trattoria, Noodle Bar, Pizzeria, Taqueria,
Sushi Bar, Curry House, Steakhouse, Bakery, Canteen, Brasserie""")
FOODS = _words("""margherita pizza, salmon roll, cheeseburger, chicken tacos, caesar salad, lamb curry,
beef pho, onion soup, fried rice, pad thai, falafel wrap, ramen, veggie burger, fish and chips,
mushroom risotto, greek salad, chicken tikka, beef burrito, tofu stir fry, lasagna, carbonara,
shrimp tempura, tomato soup, club sandwich, bibimbap, paella, goulash, dumplings, kebab plate,
pancakes, apple pie, chocolate cake, sushi platter, spring rolls, gnocchi, poke bowl""")
MESSAGE_PARTS = _words("""running late, call me back, see you at noon, happy new year, dinner is ready,
meeting moved to friday, on my way, thanks for the help, can you pick me up, the package arrived,
good luck today, miss you, stuck in traffic, home in ten minutes, bring the keys, the kids are asleep,
movie starts at eight, lunch tomorrow, call the bank, the door is open, buy some bread, see you soon,
congrats on the new job, the car is fixed""")
WORDS = _words("""serendipity, ephemeral, ubiquitous, laconic, quixotic, mellifluous, gregarious,
pernicious, sanguine, obfuscate, ineffable, petrichor, ebullient, lugubrious, sycophant, taciturn,
verbose, zealous, ambivalent, benevolent, cacophony, diligent, eloquent, fastidious, garrulous,
hubris, idiosyncrasy, juxtapose, kinetic, luminous, magnanimous, nebulous, ostentatious, paradox,
quintessential, resilient, surreptitious, tenacious, umbrage, vicarious, wistful, zenith, alacrity,
bucolic, capricious, deleterious, enigma, furtive, halcyon, insidious, jocular, labyrinth""")
CUISINES = _words("""italian, japanese, mexican, indian, thai, french, vegan, greek, korean, lebanese,
spanish, vietnamese, chinese, turkish, ethiopian, moroccan, peruvian, brazilian, german, polish,
russian, persian, caribbean, cajun, hawaiian, portuguese, malaysian, filipino, georgian, nepalese""")
MOVIES = _words("""Dune, Inception, Oppenheimer, Barbie, Interstellar, Arrival, Up, Coco, Amelie, Parasite,
Alien, Heat, Jaws, Rocky, Casablanca, Vertigo, Psycho, Titanic, Avatar, Gladiator, Memento, Her,
Moonlight, Joker, Frozen, Shrek, Cars, Brave, Soul, Luca, Tenet, Gravity, Whiplash, Drive, Fargo,
Goodfellas, Amadeus, Ratatouille, Wall-E, Matilda, Babe, Rango, Logan, Elvis, Nope, Past Lives,
The Matrix, Blade Runner, Top Gun, Jurassic Park, Mad Max, Toy Story, Black Panther, Little Women""")
ROOMS = _words("""kitchen, bedroom, living room, office, bathroom, garage, hallway, basement, attic, porch,
dining room, nursery, study, laundry room, guest room, patio""")
TEAMS = _words("""Lakers, Yankees, Arsenal, Real Madrid, Celtics, Bayern, Juventus, Chelsea, Warriors,
Dodgers, Ajax, Benfica, Barcelona, Liverpool, Milan, Inter, Porto, Celtic, Rangers, Bulls, Knicks,
Heat, Spurs, Mets, Cubs, Red Sox, Giants, Packers, Patriots, Eagles, Steelers, Chiefs, Raiders,
Bruins, Rangers, Canucks, Lyon, Marseille, Napoli, Roma, Lazio, Dortmund, Leipzig, Sevilla,
Valencia, Feyenoord, PSV, Galatasaray, Fenerbahce, Boca Juniors, River Plate, Flamengo""")
COUNTRIES = _words("""France, Japan, Brazil, Canada, Kenya, India, Norway, Mexico, Egypt, Chile, Vietnam,
Poland, Germany, Spain, Italy, Portugal, Greece, Turkey, Russia, China, Korea, Thailand, Indonesia,
Australia, Argentina, Peru, Colombia, Nigeria, Ghana, Ethiopia, Morocco, Algeria, Tunisia, Sweden,
Finland, Denmark, Iceland, Ireland, Austria, Switzerland, Belgium, Netherlands, Hungary, Romania,
Bulgaria, Serbia, Croatia, Ukraine, Georgia, Armenia, Iran, Iraq, Pakistan, Bangladesh, Nepal,
Mongolia, Malaysia, Philippines, Cuba, Jamaica, Uruguay, Bolivia, Ecuador, Senegal, Uganda""")
NOTE_VERBS = _words("""buy, call, renew, book, pay, water, return, fix, plan, send, clean, order, check, email,
print, pick up, cancel, visit, prepare, wash""")
NOTE_OBJECTS = _words("""milk and eggs, the plumber, passport, dentist, rent, the plants, library books,
the bike, the trip, invoice, the garage, printer ink, the tickets, grandma, the car, the report,
insurance, the gym membership, the laundry, dinner, the windows, the contract, the slides, flowers""")


def _value_date(rng):
    return f"{rng.randint(2024, 2028)}-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}"


def _value_time(rng):
    return f"{rng.randint(0, 23):02d}:{rng.choice([0, 5, 10, 15, 20, 25, 30, 35, 40, 45, 50, 55, rng.randint(0, 59)]):02d}"


def _value_amount(rng):
    r = rng.random()
    if r < 0.3:
        return str(rng.randint(1, 99))
    if r < 0.7:
        return str(rng.randint(100, 999))
    if r < 0.9:
        return str(rng.randint(1000, 20000))
    return f"{rng.randint(1, 500)}.{rng.choice([5, 25, 75, 1, 2, 9])}"


def _value_email(rng):
    name = rng.choice(PERSONS).lower()
    if rng.random() < 0.4:
        name += rng.choice([".", "_", ""]) + rng.choice(PERSONS).lower()
    if rng.random() < 0.3:
        name += str(rng.randint(1, 99))
    return f"{name}@{rng.choice(DOMAINS)}"


def _value_query_text(rng):
    r = rng.random()
    if r < 0.4:
        return f"{rng.choice(ADJECTIVES)} {rng.choice(NOUNS)}"
    if r < 0.7:
        return f"how to {rng.choice(VERBS_HOWTO)}"
    return f"{rng.choice(NOUNS)} in {rng.choice(CITIES)}"


def _value_symbol(rng):
    letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
    return "".join(rng.choice(letters) for _ in range(rng.randint(2, 5)))


def _value_restaurant(rng):
    r = rng.random()
    if r < 0.5:
        return f"{rng.choice(RESTAURANT_NAMES)}'s {rng.choice(RESTAURANT_KINDS)}"
    return f"{rng.choice(ADJECTIVES).capitalize()} {rng.choice(RESTAURANT_KINDS)}"


def _value_expression(rng):
    ops = ["+", "-", "*", "/"]
    a, b = rng.randint(1, 999), rng.randint(1, 99)
    r = rng.random()
    if r < 0.6:
        return f"{a}{rng.choice(ops)}{b}"
    if r < 0.8:
        return f"{a}{rng.choice(ops)}{b}{rng.choice(ops)}{rng.randint(1, 99)}"
    if r < 0.9:
        return f"sqrt({rng.randint(1, 999)})"
    return f"{rng.randint(1, 99)}% of {a}"


def _value_tracking(rng):
    digits = lambda n: "".join(rng.choice("0123456789") for _ in range(n))  # noqa: E731
    letters = lambda n: "".join(rng.choice("ABCDEFGHJKLMNPRSTUVWXYZ") for _ in range(n))  # noqa: E731
    r = rng.random()
    if r < 0.3:
        return "1Z" + letters(3) + digits(11)
    if r < 0.6:
        return letters(2) + digits(9) + letters(2)
    return digits(rng.randint(10, 16))


def _value_message(rng):
    m = rng.choice(MESSAGE_PARTS)
    if rng.random() < 0.3:
        m += " and " + rng.choice(MESSAGE_PARTS)
    return m


def _value_note(rng):
    return f"{rng.choice(NOTE_VERBS)} {rng.choice(NOTE_OBJECTS)}"


def _value_phrase(rng):
    p = rng.choice(PHRASE_WORDS)
    if rng.random() < 0.25:
        p += " " + rng.choice(PHRASE_WORDS)
    return p


def _value_food(rng):
    f = rng.choice(FOODS)
    if rng.random() < 0.3:
        f = rng.choice(["large", "small", "spicy", "double", "extra cheese", "gluten free"]) + " " + f
    return f


def _pick(values):
    return lambda rng: rng.choice(values)


def _int_range(lo, hi):
    return lambda rng: str(rng.randint(lo, hi))


# pool name -> (generator, split by hash?)
GENERATORS: dict[str, tuple[Callable[[random.Random], str], bool]] = {
    "city": (_pick(CITIES), True),
    "date": (_value_date, True),
    "time": (_value_time, True),
    "currency": (_pick(CURRENCIES), True),
    "amount": (_value_amount, True),
    "minutes": (_int_range(1, 180), True),
    "person": (_pick(PERSONS), True),
    "email": (_value_email, True),
    "topic": (_pick(TOPICS), True),
    "query_text": (_value_query_text, True),
    "symbol": (_value_symbol, True),
    "language": (_pick(LANGUAGES), True),
    "phrase": (_value_phrase, True),
    "artist": (_pick(ARTISTS), True),
    "mode": (_pick(MODES), False),
    "restaurant": (_value_restaurant, True),
    "food": (_value_food, True),
    "message": (_value_message, True),
    "expression": (_value_expression, True),
    "word": (_pick(WORDS), True),
    "tracking": (_value_tracking, True),
    "cuisine": (_pick(CUISINES), True),
    "movie": (_pick(MOVIES), True),
    "temperature": (_int_range(10, 32), True),
    "room": (_pick(ROOMS), False),
    "team": (_pick(TEAMS), True),
    "country": (_pick(COUNTRIES), True),
    "note": (_value_note, True),
    "days": (_int_range(1, 16), True),
    "nights": (_int_range(1, 21), True),
}


def value_split(pool: str, value: str) -> str:
    """The split a slot value belongs to: a quarter of the values (by hash) are held out."""
    if not GENERATORS[pool][1]:
        return "both"
    return "test" if zlib.crc32(f"{pool}:{value}".encode()) % 4 == 0 else "train"


def draw_value(pool: str, rng: random.Random, split: str | None = None) -> str:
    """A value of `pool` from `split` ("train", "test"; None for either)."""
    gen = GENERATORS[pool][0]
    while True:
        v = gen(rng)
        s = value_split(pool, v)
        if split is None or s in ("both", split):
            return v


# ---------------------------------------------------------------- tools
@dataclasses.dataclass
class Param:
    name: str
    type: str
    description: str
    pool: str                   # slot pool the value is drawn from
    transform: Callable[[str], object] | None = None


@dataclasses.dataclass
class Tool:
    name: str
    description: str
    params: list[Param]
    templates: list[str]        # English templates; {param} slots
    foreign: list[str] = dataclasses.field(default_factory=list)   # French / German templates
    think: str = ""             # reasoning template

    def schema(self) -> dict:
        return {
            "name": self.name,
            "description": self.description,
            "parameters": {
                "type": "object",
                "properties": {p.name: {"type": p.type, "description": p.description} for p in self.params},
                "required": [p.name for p in self.params],
            },
        }


def _num(v: str):
    return int(v) if v.isdigit() else float(v)


T = Tool
P = Param
TOOLS: list[Tool] = [
    T("get_weather", "Get the current weather for a city", [P("city", "string", "City name", "city")],
      ["What's the weather in {city}?", "Is it raining in {city} right now?", "How warm is it in {city} today?",
       "weather {city}", "Tell me the current weather in {city}.", "Do I need an umbrella in {city}?",
       "What is the temperature in {city} at the moment?", "Check the weather for {city} please."],
      ["Quel temps fait-il à {city} ?", "Wie ist das Wetter in {city}?"],
      "The user wants the current weather in {city}."),
    T("get_forecast", "Get a multi-day weather forecast for a city",
      [P("city", "string", "City name", "city"), P("days", "integer", "Number of days", "days", _num)],
      ["Give me the {days}-day forecast for {city}.", "What will the weather be in {city} over the next {days} days?",
       "forecast for {city} for {days} days", "Show the weather forecast in {city} for the coming {days} days.",
       "Will it be sunny in {city} in the next {days} days?"],
      ["Prévisions météo pour {city} sur {days} jours", "Wettervorhersage für {city} für {days} Tage"],
      "A forecast of {days} days for {city} is needed."),
    T("search_flights", "Search flights between two cities on a date",
      [P("origin", "string", "Departure city", "city"), P("destination", "string", "Arrival city", "city"),
       P("date", "string", "Departure date", "date")],
      ["Find flights from {origin} to {destination} on {date}.", "I need a flight {origin} to {destination} on {date}",
       "Are there flights from {origin} to {destination} on {date}?", "Search for a plane from {origin} to {destination} leaving {date}.",
       "book me something from {origin} to {destination} on {date}"],
      ["Trouve un vol de {origin} à {destination} le {date}", "Suche Flüge von {origin} nach {destination} am {date}"],
      "Flights {origin} to {destination} on {date}."),
    T("book_hotel", "Book a hotel room in a city",
      [P("city", "string", "City", "city"), P("check_in", "string", "Check-in date", "date"),
       P("nights", "integer", "Number of nights", "nights", _num)],
      ["Book a hotel in {city} from {check_in} for {nights} nights.", "I need a room in {city} for {nights} nights starting {check_in}.",
       "Reserve a hotel in {city}, check-in {check_in}, {nights} nights.", "Get me a hotel in {city} on {check_in} for {nights} nights"],
      ["Réserve un hôtel à {city} le {check_in} pour {nights} nuits"],
      "Hotel in {city}, {nights} nights from {check_in}."),
    T("convert_currency", "Convert an amount of money between currencies",
      [P("amount", "number", "Amount to convert", "amount", _num), P("from_currency", "string", "Source currency code", "currency"),
       P("to_currency", "string", "Target currency code", "currency")],
      ["Convert {amount} {from_currency} to {to_currency}.", "How much is {amount} {from_currency} in {to_currency}?",
       "{amount} {from_currency} to {to_currency}", "What do I get for {amount} {from_currency} in {to_currency}?",
       "Change {amount} {from_currency} into {to_currency} please."],
      ["Convertis {amount} {from_currency} en {to_currency}", "Wie viel sind {amount} {from_currency} in {to_currency}?"],
      "Convert {amount} {from_currency} into {to_currency}."),
    T("set_timer", "Start a countdown timer", [P("minutes", "integer", "Duration in minutes", "minutes", _num)],
      ["Set a timer for {minutes} minutes.", "Start a {minutes} minute timer.", "timer {minutes} min",
       "Remind me in {minutes} minutes with a timer.", "Can you count down {minutes} minutes?"],
      ["Mets un minuteur de {minutes} minutes", "Stell einen Timer auf {minutes} Minuten"],
      "A timer of {minutes} minutes."),
    T("set_alarm", "Set an alarm at a time of day", [P("time", "string", "Time as HH:MM", "time")],
      ["Set an alarm for {time}.", "Wake me up at {time}.", "alarm at {time}", "Please set my alarm to {time} tomorrow.",
       "I need an alarm at {time}."],
      ["Réveille-moi à {time}", "Stell einen Wecker für {time}"],
      "Alarm at {time}."),
    T("create_calendar_event", "Create a calendar event",
      [P("title", "string", "Event title", "note"), P("date", "string", "Date", "date"), P("time", "string", "Start time", "time")],
      ["Add '{title}' to my calendar on {date} at {time}.", "Schedule {title} on {date} at {time}.",
       "Create an event {title} for {date} {time}.", "Put {title} in the calendar, {date} at {time}."],
      [], "Calendar event {title} on {date} at {time}."),
    T("send_email", "Send an email", [P("to", "string", "Recipient address", "email"), P("subject", "string", "Subject line", "message")],
      ["Email {to} with the subject {subject}.", "Send an email to {to} saying {subject}.",
       "Write to {to}: {subject}", "Mail {to} about {subject}."],
      ["Envoie un e-mail à {to} avec le sujet {subject}"], "An email to {to} about {subject}."),
    T("web_search", "Search the web", [P("query", "string", "Search terms", "query_text")],
      ["Search the web for {query}.", "Look up {query} online.", "google {query}", "Can you find information about {query}?",
       "I want to know about {query}, search it."],
      ["Cherche {query} sur internet", "Suche im Netz nach {query}"], "Search for {query}."),
    T("convert_units", "Convert a value between units",
      [P("value", "number", "Value", "amount", _num), P("from_unit", "string", "Source unit", "unit_pair"),
       P("to_unit", "string", "Target unit", "unit_pair")],
      ["Convert {value} {from_unit} to {to_unit}.", "How many {to_unit} is {value} {from_unit}?",
       "{value} {from_unit} in {to_unit}", "What is {value} {from_unit} in {to_unit}?"],
      ["Convertis {value} {from_unit} en {to_unit}"], "Convert {value} {from_unit} to {to_unit}."),
    T("create_reminder", "Create a reminder", [P("text", "string", "What to remember", "note"), P("time", "string", "When", "time")],
      ["Remind me to {text} at {time}.", "Set a reminder at {time} to {text}.", "reminder {text} {time}",
       "Don't let me forget to {text} at {time}."],
      ["Rappelle-moi de {text} à {time}", "Erinnere mich um {time} an {text}"], "Reminder to {text} at {time}."),
    T("get_stock_price", "Get the latest stock price", [P("symbol", "string", "Ticker symbol", "symbol")],
      ["What's the stock price of {symbol}?", "How is {symbol} trading today?", "quote {symbol}",
       "Give me the latest price for {symbol} shares.", "Check {symbol} stock."],
      ["Quel est le cours de l'action {symbol} ?", "Wie steht die Aktie {symbol}?"], "Stock price of {symbol}."),
    T("translate_text", "Translate text into another language",
      [P("text", "string", "Text to translate", "phrase"), P("target_language", "string", "Target language", "language")],
      ["Translate '{text}' into {target_language}.", "How do you say {text} in {target_language}?",
       "{text} in {target_language} please", "Can you translate {text} to {target_language}?"],
      [], "Translate {text} into {target_language}."),
    T("get_news", "Get the latest news headlines on a topic", [P("topic", "string", "News topic", "topic")],
      ["What's the latest news about {topic}?", "Show me {topic} headlines.", "news on {topic}",
       "Any updates in {topic} today?"],
      ["Quelles sont les nouvelles sur {topic} ?", "Neuigkeiten über {topic}"], "News about {topic}."),
    T("play_music", "Play music by an artist", [P("artist", "string", "Artist name", "artist")],
      ["Play some {artist}.", "Put on music by {artist}.", "play {artist}", "I want to listen to {artist}."],
      ["Joue du {artist}", "Spiel Musik von {artist}"], "Play {artist}."),
    T("get_directions", "Get directions between two places",
      [P("origin", "string", "Start", "city"), P("destination", "string", "End", "city"), P("mode", "string", "Travel mode", "mode")],
      ["How do I get from {origin} to {destination} by {mode}?", "Directions from {origin} to {destination}, {mode}.",
       "Route {origin} to {destination} {mode}", "Show me the {mode} route from {origin} to {destination}."],
      [], "Directions {origin} to {destination} by {mode}."),
    T("order_food", "Order food from a restaurant",
      [P("restaurant", "string", "Restaurant name", "restaurant"), P("item", "string", "Dish", "food")],
      ["Order a {item} from {restaurant}.", "I'd like {item} delivered from {restaurant}.",
       "Get me {item} at {restaurant}", "Can you order {item} from {restaurant} for me?"],
      ["Commande un {item} chez {restaurant}"], "Order {item} from {restaurant}."),
    T("call_contact", "Place a phone call to a contact", [P("name", "string", "Contact name", "person")],
      ["Call {name}.", "Phone {name} please.", "ring {name}", "Can you call {name} for me?"],
      ["Appelle {name}", "Ruf {name} an"], "Call {name}."),
    T("send_message", "Send a text message",
      [P("recipient", "string", "Contact name", "person"), P("message", "string", "Message text", "message")],
      ["Text {recipient} that I am {message}.", "Send {recipient} a message: {message}.",
       "message {recipient} {message}", "Tell {recipient} '{message}' by text."],
      ["Envoie à {recipient} le message {message}", "Schreib {recipient}: {message}"], "Message {recipient}: {message}."),
    T("get_time", "Get the current local time in a city", [P("city", "string", "City name", "city")],
      ["What time is it in {city}?", "Current time in {city}?", "time {city}", "Tell me the local time in {city}."],
      ["Quelle heure est-il à {city} ?", "Wie spät ist es in {city}?"], "Local time in {city}."),
    T("calculate", "Evaluate an arithmetic expression", [P("expression", "string", "Expression", "expression")],
      ["Calculate {expression}.", "What is {expression}?", "compute {expression}", "Work out {expression} for me."],
      ["Calcule {expression}", "Rechne {expression}"], "Evaluate {expression}."),
    T("define_word", "Look up the definition of a word", [P("word", "string", "Word", "word")],
      ["Define {word}.", "What does {word} mean?", "meaning of {word}", "Give me the definition of {word}."],
      ["Que veut dire {word} ?"], "Definition of {word}."),
    T("get_exchange_rate", "Get the exchange rate between two currencies",
      [P("base", "string", "Base currency", "currency"), P("quote", "string", "Quote currency", "currency")],
      ["What's the exchange rate from {base} to {quote}?", "{base} to {quote} rate", "How strong is {base} against {quote}?",
       "Show the {base}/{quote} exchange rate."],
      ["Taux de change {base} {quote}", "Wechselkurs {base} zu {quote}"], "Rate {base} to {quote}."),
    T("track_package", "Track a parcel by tracking number", [P("tracking_number", "string", "Tracking number", "tracking")],
      ["Where is my package {tracking_number}?", "Track parcel {tracking_number}.", "tracking {tracking_number}",
       "Check delivery status of {tracking_number}."],
      ["Où est mon colis {tracking_number} ?", "Wo ist mein Paket {tracking_number}?"], "Track {tracking_number}."),
    T("find_restaurant", "Find restaurants by cuisine in a city",
      [P("cuisine", "string", "Cuisine", "cuisine"), P("city", "string", "City", "city")],
      ["Find a {cuisine} restaurant in {city}.", "Where can I eat {cuisine} food in {city}?",
       "{cuisine} places in {city}", "Recommend {cuisine} restaurants in {city}."],
      ["Trouve un restaurant {cuisine} à {city}", "Finde ein {cuisine} Restaurant in {city}"], "{cuisine} restaurants in {city}."),
    T("get_movie_showtimes", "Get cinema showtimes for a movie in a city",
      [P("movie", "string", "Movie title", "movie"), P("city", "string", "City", "city")],
      ["When is {movie} showing in {city}?", "Showtimes for {movie} in {city}.", "{movie} cinema {city}",
       "Where can I watch {movie} in {city} tonight?"],
      ["Séances de {movie} à {city}"], "Showtimes of {movie} in {city}."),
    T("set_thermostat", "Set the thermostat temperature", [P("temperature", "integer", "Degrees", "temperature", _num)],
      ["Set the thermostat to {temperature} degrees.", "Make it {temperature} degrees inside.", "heating {temperature}",
       "Change the temperature to {temperature}."],
      ["Règle le thermostat sur {temperature} degrés", "Stell die Heizung auf {temperature} Grad"], "Thermostat at {temperature}."),
    T("turn_on_lights", "Turn on the lights in a room", [P("room", "string", "Room", "room")],
      ["Turn on the lights in the {room}.", "Lights on in the {room}.", "switch on {room} lights",
       "Can you light up the {room}?"],
      ["Allume la lumière dans {room}"], "Lights in the {room}."),
    T("get_sports_score", "Get the latest score of a team", [P("team", "string", "Team name", "team")],
      ["What's the score of the {team} game?", "Did the {team} win?", "{team} score", "How are the {team} doing tonight?"],
      ["Quel est le score de {team} ?", "Wie hat {team} gespielt?"], "Score of {team}."),
    T("book_taxi", "Book a taxi ride",
      [P("pickup", "string", "Pickup place", "city"), P("destination", "string", "Destination", "city")],
      ["Book a taxi from {pickup} to {destination}.", "I need a cab from {pickup} to {destination}.",
       "taxi {pickup} to {destination}", "Get me a ride from {pickup} to {destination}."],
      ["Réserve un taxi de {pickup} à {destination}"], "Taxi {pickup} to {destination}."),
    T("check_calendar", "List the events on a date", [P("date", "string", "Date", "date")],
      ["What's on my calendar on {date}?", "Do I have meetings on {date}?", "agenda {date}",
       "Show my schedule for {date}."],
      ["Qu'ai-je à l'agenda le {date} ?", "Was steht am {date} im Kalender?"], "Events on {date}."),
    T("get_population", "Get the population of a country", [P("country", "string", "Country", "country")],
      ["What is the population of {country}?", "How many people live in {country}?", "population {country}",
       "Tell me how populous {country} is."],
      ["Quelle est la population de {country} ?", "Wie viele Menschen leben in {country}?"], "Population of {country}."),
    T("create_note", "Save a note", [P("content", "string", "Note text", "note")],
      ["Make a note: {content}.", "Note down {content}.", "save note {content}", "Write a note to {content}."],
      ["Prends une note : {content}", "Notiz: {content}"], "Note: {content}."),
]

# Queries that no tool of the catalogue answers: the right completion is an abstention.
OFF_TOPIC = ["Tell me a joke.", "Who wrote Hamlet?", "What is the meaning of life?", "Sing me a song.",
             "How are you today?", "What's your favourite colour?", "Explain quantum physics simply.",
             "Write a poem about autumn.", "Who won the world cup in 1998?", "Why is the sky blue?",
             "Recommend a good book.", "What is love?", "Raconte-moi une blague.", "Wer bist du?"]


@dataclasses.dataclass
class Example:
    query: str
    tools_json: str
    completion: str        # what the assistant turn holds (without the end-of-turn marker)
    tool: str | None       # right tool name, None for an abstention
    arguments: dict | None
    offered: list[str]


class TaskGenerator:
    """Seeded generator of examples for one split ("train" or "test")."""

    def __init__(self, split: str, seed: int, think_rate: float = 0.3, abstain_rate: float = 0.12,
                 foreign_rate: float = 0.08, held_out_templates: bool = True, catalogue_rate: float = 0.2):
        """`held_out_templates=False` on the test split keeps its held-out slot values but draws
        queries from the training templates: it separates copying unseen values from
        understanding unseen phrasings."""
        assert split in ("train", "test")
        self.split = split
        self.rng = random.Random(seed)
        self.think_rate = think_rate
        self.abstain_rate = abstain_rate
        self.foreign_rate = foreign_rate
        # Training queries phrased from the catalogue's own words (description, parameter
        # descriptions, name), so that choosing a tool means reading the offered list rather
        # than recalling which template belongs to which name.
        self.catalogue_rate = catalogue_rate if split == "train" else 0.0
        held = split == "test" and held_out_templates
        self.held = held
        # Held-out templates: the last template of each tool (and the last off-topic queries).
        self.templates = {t.name: (t.templates[-1:] if held else t.templates[:-1]) for t in TOOLS}
        off_cut = len(OFF_TOPIC) - 4
        self.off_topic = OFF_TOPIC[off_cut:] if held else OFF_TOPIC[:off_cut]

    def _values(self, tool: Tool) -> dict[str, str]:
        values: dict[str, str] = {}
        pair = self.rng.choice(UNIT_PAIRS)
        for p in tool.params:
            if p.pool == "unit_pair":
                values[p.name] = pair[0] if p.name == "from_unit" else pair[1]
                continue
            choice = draw_value(p.pool, self.rng, self.split)
            # Two slots from the same pool get different values (origin != destination).
            while choice in values.values():
                choice = draw_value(p.pool, self.rng, self.split)
            values[p.name] = choice
        return values

    def _catalogue_template(self, tool: Tool) -> str:
        rng = self.rng
        desc = tool.description
        lower = desc[0].lower() + desc[1:]
        slots = [(p.description, "{" + p.name + "}") for p in tool.params]
        style = rng.randrange(5)
        if style == 0:
            return desc + ": " + ", ".join(s for _, s in slots)
        if style == 1:
            return desc + " (" + ", ".join(f"{d.lower()} {s}" for d, s in slots) + ")"
        if style == 2:
            return f"{rng.choice(['I need to', 'Please', 'Could you', 'I want to'])} {lower}. " + \
                ". ".join(f"{d}: {s}" for d, s in slots) + "."
        if style == 3:
            return tool.name.replace("_", " ") + " " + " ".join(s for _, s in slots)
        return f"{rng.choice(['Help me', 'Can you', 'Time to'])} {lower.split(' ', 1)[0].lower()} " + \
            lower.split(" ", 1)[1] + " with " + " and ".join(f"{d.lower()} {s}" for d, s in slots)

    def _template(self, tool: Tool) -> str:
        if self.rng.random() < self.catalogue_rate:
            return self._catalogue_template(tool)
        return self.rng.choice(self.templates[tool.name])

    def _tools_json(self, tools: list[Tool]) -> str:
        style = self.rng.random()
        schemas = [t.schema() for t in tools]
        if style < 0.5:
            return json.dumps(schemas)
        if style < 0.8:
            return json.dumps(schemas, indent=2)
        return json.dumps(schemas, separators=(",", ":"))

    def example(self) -> Example:
        rng = self.rng
        n_offered = rng.randint(2, 6)
        abstain = rng.random() < self.abstain_rate
        if abstain:
            offered = rng.sample(TOOLS, n_offered)
            if rng.random() < 0.5:
                query = rng.choice(self.off_topic)
            else:
                # A real request for a tool that is not offered.
                target = rng.choice([t for t in TOOLS if t not in offered])
                query = self._template(target).format(**self._values(target))
            payload = "[]"
            completion = f"<tool_call>{payload}</tool_call>"
            if rng.random() < self.think_rate:
                completion = "<think>None of the offered tools fits.</think>" + completion
            return Example(query, self._tools_json(offered), completion, None, None, [t.name for t in offered])
        target = rng.choice(TOOLS)
        others = rng.sample([t for t in TOOLS if t is not target], n_offered - 1)
        offered = others + [target]
        rng.shuffle(offered)
        values = self._values(target)
        template = self._template(target)
        if target.foreign and rng.random() < self.foreign_rate:
            # With two or more foreign templates the last one is held out too.
            if len(target.foreign) == 1:
                templates = target.foreign
            else:
                templates = target.foreign[-1:] if self.held else target.foreign[:-1]
            template = rng.choice(templates)
        if rng.random() < 0.15:
            # Casual typing: the words around the slots lower-cased, the copied values kept.
            template = template.lower()
        query = template.format(**values)
        arguments = {}
        for p in target.params:
            v = values[p.name]
            arguments[p.name] = p.transform(v) if p.transform else v
        call = json.dumps({"name": target.name, "arguments": arguments}, separators=(",", ":"), ensure_ascii=False)
        completion = f"<tool_call>{call}</tool_call>"
        if rng.random() < self.think_rate:
            completion = "<think>" + target.think.format(**values) + "</think>" + completion
        return Example(query, self._tools_json(offered), completion, target.name, arguments, [t.name for t in offered])

    def examples(self, n: int) -> list[Example]:
        return [self.example() for _ in range(n)]


def corpus_lines(n_examples: int = 4000, seed: int = 7) -> list[str]:
    """Text for training the tokenizer: queries, compacted tool lists and completions."""
    gen = TaskGenerator("train", seed)
    lines = []
    for ex in gen.examples(n_examples):
        lines.append(ex.query)
        lines.append(json.dumps(json.loads(ex.tools_json), separators=(",", ":")))
        lines.append(ex.completion)
    return lines


if __name__ == "__main__":
    for ex in TaskGenerator("test", 1).examples(5):
        print(ex.query, "=>", ex.completion)
