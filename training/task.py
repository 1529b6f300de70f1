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
from typing import Callable

# ---------------------------------------------------------------- slot values
# Each pool is split: the last quarter (rounded up) is held out for the test split.
POOLS: dict[str, list[str]] = {
    "city": ["Paris", "London", "Berlin", "Madrid", "Rome", "Tokyo", "Sydney", "Toronto", "Chicago",
             "Boston", "Seattle", "Denver", "Lisbon", "Dublin", "Vienna", "Prague", "Oslo", "Cairo",
             "Mumbai", "Seoul", "Austin", "Miami", "Zurich", "Athens", "Warsaw", "Helsinki", "Lima",
             "Nairobi", "Bangkok", "Hanoi", "Quito", "Geneva", "Munich", "Lyon", "Porto", "Milan"],
    "date": ["2025-01-14", "2025-02-03", "2025-03-21", "2025-04-09", "2025-05-30", "2025-06-12",
             "2025-07-04", "2025-08-18", "2025-09-25", "2025-10-02", "2025-11-11", "2025-12-24",
             "2026-01-07", "2026-02-19", "2026-03-03", "2026-04-27"],
    "time": ["07:00", "07:30", "08:15", "09:00", "10:45", "12:00", "13:30", "15:00", "16:20", "18:00",
             "19:45", "21:00", "06:40", "11:10", "14:50", "22:30"],
    "currency": ["USD", "EUR", "GBP", "JPY", "CHF", "CAD", "AUD", "SEK", "NOK", "INR", "CNY", "MXN"],
    "amount": ["10", "25", "50", "75", "100", "120", "250", "300", "500", "750", "1000", "1500",
               "42", "64", "999", "2000"],
    "minutes": ["1", "2", "3", "5", "10", "12", "15", "20", "25", "30", "45", "60", "7", "90"],
    "person": ["Alice", "Bob", "Carol", "David", "Emma", "Frank", "Grace", "Henry", "Isla", "Jack",
               "Karen", "Liam", "Mia", "Noah", "Olivia", "Paul", "Quinn", "Rosa", "Sam", "Tina"],
    "email": ["alice@example.com", "bob@example.org", "carol@mail.com", "dave@work.net",
              "emma@example.com", "frank@corp.io", "grace@uni.edu", "henry@shop.com",
              "isla@example.net", "jack@studio.org", "kim@lab.dev", "leo@home.net"],
    "topic": ["technology", "sports", "politics", "science", "health", "business", "music",
              "travel", "climate", "space", "education", "movies"],
    "query_text": ["best pizza recipe", "how to learn python", "cheap flights to asia",
                   "history of the roman empire", "symptoms of flu", "electric cars 2025",
                   "how tall is mount everest", "vegan lasagna", "jazz festivals in europe",
                   "marathon training plan", "how do vaccines work", "best hiking boots"],
    "unit_pair": ["km|miles", "miles|km", "kg|pounds", "pounds|kg", "celsius|fahrenheit",
                  "fahrenheit|celsius", "liters|gallons", "gallons|liters", "meters|feet",
                  "feet|meters", "cm|inches", "inches|cm"],
    "symbol": ["AAPL", "MSFT", "GOOG", "AMZN", "TSLA", "NVDA", "META", "IBM", "ORCL", "INTC",
               "NFLX", "AMD"],
    "language": ["French", "German", "Spanish", "Italian", "Japanese", "Portuguese", "Dutch",
                 "Korean", "Chinese", "Swedish", "Greek", "Polish"],
    "phrase": ["good morning", "where is the station", "thank you very much", "I love this city",
               "how much does it cost", "see you tomorrow", "the bill please", "happy birthday",
               "I am lost", "nice to meet you", "what time is it", "call a doctor"],
    "artist": ["Beyonce", "Coldplay", "Adele", "Queen", "Daft Punk", "Miles Davis", "Taylor Swift",
               "Radiohead", "ABBA", "Nina Simone", "Bach", "Shakira"],
    "mode": ["driving", "walking", "transit", "cycling"],
    "restaurant": ["Luigi's", "Sushi Zen", "Burger Barn", "Taco Loco", "Green Bowl", "Curry House",
                   "Pho Corner", "Le Bistro", "Dragon Wok", "Pizza Roma", "Falafel King", "Noodle Bar"],
    "food": ["margherita pizza", "salmon roll", "cheeseburger", "chicken tacos", "caesar salad",
             "lamb curry", "beef pho", "onion soup", "fried rice", "pad thai", "falafel wrap",
             "ramen"],
    "message": ["running late", "call me back", "see you at noon", "happy new year",
                "dinner is ready", "meeting moved to friday", "on my way", "thanks for the help",
                "can you pick me up", "the package arrived", "good luck today", "miss you"],
    "expression": ["12*7", "144/12", "3+4*5", "2^10", "sqrt(81)", "15% of 240", "100-37",
                   "9*9*9", "1000/8", "7*(3+2)", "45+55", "256/16"],
    "word": ["serendipity", "ephemeral", "ubiquitous", "laconic", "quixotic", "mellifluous",
             "gregarious", "pernicious", "sanguine", "obfuscate", "ineffable", "petrichor"],
    "tracking": ["1Z999AA10123456784", "9400111899223", "LX123456789CN", "JD014600006281",
                 "7489023451", "RR987654321GB", "CP123456785DE", "EE555444333US",
                 "1Z12345E0205271688", "9205590164917312", "LZ445566778CN", "UB112233445NL"],
    "cuisine": ["italian", "japanese", "mexican", "indian", "thai", "french", "vegan", "greek",
                "korean", "lebanese", "spanish", "vietnamese"],
    "movie": ["Dune", "Inception", "Oppenheimer", "Barbie", "Interstellar", "Arrival", "Up",
              "Coco", "Amelie", "Parasite", "Alien", "Heat"],
    "temperature": ["18", "19", "20", "21", "22", "23", "24", "25", "17", "16", "26", "27"],
    "room": ["kitchen", "bedroom", "living room", "office", "bathroom", "garage", "hallway",
             "basement", "attic", "porch", "dining room", "nursery"],
    "team": ["Lakers", "Yankees", "Arsenal", "Real Madrid", "Celtics", "Bayern", "Juventus",
             "Chelsea", "Warriors", "Dodgers", "Ajax", "Benfica"],
    "country": ["France", "Japan", "Brazil", "Canada", "Kenya", "India", "Norway", "Mexico",
                "Egypt", "Chile", "Vietnam", "Poland"],
    "note": ["buy milk and eggs", "call the plumber", "renew passport", "book dentist",
             "pay rent", "water the plants", "return library books", "fix the bike",
             "plan the trip", "send invoice", "clean the garage", "order printer ink"],
    "days": ["1", "2", "3", "4", "5", "6", "7", "10", "14"],
    "nights": ["1", "2", "3", "4", "5", "6", "7", "10"],
    "unit_temp": ["celsius", "fahrenheit"],
}


def split_pool(values: list[str]) -> tuple[list[str], list[str]]:
    cut = len(values) - (len(values) + 3) // 4
    return values[:cut], values[cut:]


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


def _unit_split(value: str) -> tuple[str, str]:
    a, b = value.split("|")
    return a, b


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
                 foreign_rate: float = 0.08):
        assert split in ("train", "test")
        self.split = split
        self.rng = random.Random(seed)
        self.think_rate = think_rate
        self.abstain_rate = abstain_rate
        self.foreign_rate = foreign_rate
        self.pools = {k: split_pool(v)[0 if split == "train" else 1] for k, v in POOLS.items()}
        # Held-out templates: the last template of each tool (and the last off-topic queries).
        self.templates = {t.name: (t.templates[:-1] if split == "train" else t.templates[-1:]) for t in TOOLS}
        off_cut = len(OFF_TOPIC) - 4
        self.off_topic = OFF_TOPIC[:off_cut] if split == "train" else OFF_TOPIC[off_cut:]

    def _values(self, tool: Tool) -> dict[str, str]:
        values: dict[str, str] = {}
        used_pair = None
        for p in tool.params:
            if p.pool == "unit_pair":
                if used_pair is None:
                    used_pair = _unit_split(self.rng.choice(self.pools["unit_pair"]))
                values[p.name] = used_pair[0] if p.name == "from_unit" else used_pair[1]
                continue
            pool = self.pools[p.pool]
            choice = self.rng.choice(pool)
            # Two slots from the same pool get different values (origin != destination).
            while choice in values.values() and len(pool) > 1:
                choice = self.rng.choice(pool)
            values[p.name] = choice
        return values

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
                query = rng.choice(self.templates[target.name]).format(**self._values(target))
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
        templates = self.templates[target.name]
        if target.foreign and rng.random() < self.foreign_rate:
            templates = target.foreign if self.split == "train" else target.foreign[-1:]
        query = rng.choice(templates).format(**values)
        if rng.random() < 0.15:
            query = query.lower()
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
